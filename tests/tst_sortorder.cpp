#include "mysqlquerymodel.h"
#include "numericsortkey.h"
#include "qmysortfilterproxymodel.h"
#include "testsupport.h"

#include <QRegExp>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardItemModel>

#include <algorithm>
#include <limits>
#include <random>

// The register's sort keeps its keys between comparisons; these tests hold it to the comparison
// written out literally, evaluated afresh for every pair.

namespace {

// The rule as the register has always applied it, kept here as the reference.
class LiteralRuleProxy : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override {
        const QString leftText = sourceModel()->data(left, Qt::DisplayRole).toString();
        const QString rightText = sourceModel()->data(right, Qt::DisplayRole).toString();
        const QRegExp digitsOnly(QStringLiteral("\\d*"), Qt::CaseSensitive, QRegExp::RegExp);
        if (digitsOnly.exactMatch(leftText) && digitsOnly.exactMatch(rightText))
            return leftText.toULongLong() < rightText.toULongLong();
        return QSortFilterProxyModel::lessThan(left, right);
    }
};

class RegisterProxy : public QMySortFilterProxyModel {
public:
    RegisterProxy() { compareMode = 1; }
    using QMySortFilterProxyModel::lessThan;
};

// The program's proxy and the literal rule side by side on one source model.
struct BothRules {
    RegisterProxy fast;
    LiteralRuleProxy literal;

    explicit BothRules(QAbstractItemModel *source) {
        fast.setSourceModel(source);
        literal.setSourceModel(source);
    }
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) {
        fast.sort(column, order);
        literal.sort(column, order);
    }
};

QString fromUcs4(char32_t c) {
    return QString::fromUcs4(&c, 1);
}

// Cell values that sit on the edges of the rule.
QList<QVariant> trickyValues() {
    return {
        QVariant(),
        QVariant(QString()),
        QString(""),
        QString("0"),
        QString("00"),
        QString("007"),
        QString("7"),
        QString("10"),
        QString("2"),
        QString("18446744073709551615"),
        QString("18446744073709551616"),
        QString("018446744073709551615"),
        QString("99999999999999999999999999"),
        QString("4294967295"),
        QString("9999999999999999999"),
        QString("10000000000000000000"),
        QString("00000000000000000000001"),
        QString::fromUtf8("\u0663"),       // Arabic-Indic three
        QString::fromUtf8("\u0661\u0662"), // Arabic-Indic twelve
        QString::fromUtf8("1\u0663"),      // mixed scripts
        QString::fromUtf8("\uff19"),       // full-width nine
        QString::fromUtf8("\uff11\uff12"), // full-width twelve
        QString::fromUtf8("\u096b"),       // Devanagari five
        fromUcs4(0x1d7ce),                 // mathematical bold zero, a surrogate pair
        fromUcs4(0x104a1),                 // Osmanya one, a surrogate pair
        QString(QChar(0xd835)),            // a lone high surrogate
        QString::fromUtf8("\u00b2"),       // superscript two: a number, not a digit
        QString::fromUtf8("\u2163"),       // Roman numeral four
        QString("-5"),
        QString("-10"),
        QString("+5"),
        QString(" 9"),
        QString("9 "),
        QString(" "),
        QString("\t"),
        QString("1 000"),
        QString("1,5"),
        QString("1e3"),
        QString("0x10"),
        QString("10a"),
        QString("a"),
        QString("B"),
        QString::fromUtf8("\u017eluva"),
        QVariant(qlonglong(-5)),
        QVariant(qlonglong(12)),
        QVariant(std::numeric_limits<qlonglong>::min()),
        QVariant(std::numeric_limits<qlonglong>::max()),
        QVariant(std::numeric_limits<qulonglong>::max()),
        QVariant(std::numeric_limits<int>::min()),
        QVariant(std::numeric_limits<uint>::max()),
        QVariant(QVariant::LongLong),
        QVariant(QVariant::Int),
        QVariant(0),
        QVariant(3.5),
        QVariant(5.0),
        QVariant(true),
        QVariant(QByteArray("123")),
    };
}

QStandardItemModel *columnModel(const QList<QVariant> &values, QObject *parent) {
    auto *model = new QStandardItemModel(values.size(), 1, parent);
    for (int row = 0; row < values.size(); ++row)
        model->setData(model->index(row, 0), values[row]);
    return model;
}

// The source rows in the order the proxy shows them.
QVector<int> shownOrder(const QSortFilterProxyModel &proxy) {
    QVector<int> order;
    for (int row = 0; row < proxy.rowCount(); ++row)
        order << proxy.mapToSource(proxy.index(row, 0)).row();
    return order;
}

// A register as readers and hands leave it: mostly codes, some duplicates, some typed oddities.
QList<QVariant> mixedRegister(int size, unsigned seed) {
    std::mt19937 random(seed);
    const QList<QVariant> tricky = trickyValues();
    QList<QVariant> values;
    for (int i = 0; i < size; ++i) {
        switch (random() % 6) {
        case 0:
            values << tricky[int(random() % unsigned(tricky.size()))];
            break;
        case 1:
            values << QString::number(random() % 20);
            break;
        default:
            values << QString::number(random());
        }
    }
    return values;
}

} // namespace

class TestSortOrder : public QObject {
    Q_OBJECT

private slots:
    void keyMatchesTheRegularExpression_data();
    void keyMatchesTheRegularExpression();
    void everyPairComparesAsTheLiteralRule();
    void shuffledRegisterSortsAsTheLiteralRule_data();
    void shuffledRegisterSortsAsTheLiteralRule();
    void changedCellsAreSortedByTheirNewValue();
    void insertedAndRemovedRowsKeepTheOrder();
    void otherCompareModeIsTheBaseComparison();
    void reloadedRegisterIsSortedByItsNewRows();
};

void TestSortOrder::keyMatchesTheRegularExpression_data() {
    QTest::addColumn<QVariant>("value");
    const QList<QVariant> values = trickyValues();
    for (int i = 0; i < values.size(); ++i) {
        const QString name = QString("%1: \"%2\" (%3)")
                                 .arg(i)
                                 .arg(values[i].toString())
                                 .arg(values[i].isNull() ? "null" : values[i].typeName());
        QTest::newRow(qPrintable(name)) << values[i];
    }
}

void TestSortOrder::keyMatchesTheRegularExpression() {
    QFETCH(QVariant, value);
    const QString text = value.toString();
    const QRegExp digitsOnly(QStringLiteral("\\d*"), Qt::CaseSensitive, QRegExp::RegExp);
    const bool digits = digitsOnly.exactMatch(text);
    const quint64 number = digits ? text.toULongLong() : 0;
    for (const NumericSortKey &key : {numericSortKey(text), numericSortKey(value)}) {
        QCOMPARE(key.digitsOnly, digits);
        QCOMPARE(key.value, number);
    }
}

void TestSortOrder::everyPairComparesAsTheLiteralRule() {
    const QList<QVariant> values = trickyValues();
    QStandardItemModel *source = columnModel(values, this);
    BothRules rules(source);
    auto &[fast, literal] = rules;

    int numericPairs = 0;
    for (int left = 0; left < values.size(); ++left) {
        for (int right = 0; right < values.size(); ++right) {
            const QModelIndex l = source->index(left, 0);
            const QModelIndex r = source->index(right, 0);
            const bool expected = literal.lessThan(l, r);
            if (fast.lessThan(l, r) != expected) {
                QFAIL(qPrintable(QString("\"%1\" < \"%2\" should be %3")
                                     .arg(values[left].toString(), values[right].toString())
                                     .arg(expected)));
            }
            numericPairs += numericSortKey(values[left].toString()).digitsOnly &&
                            numericSortKey(values[right].toString()).digitsOnly;
        }
    }
    // Both branches of the rule were exercised.
    QVERIFY(numericPairs > 0);
    QVERIFY(numericPairs < values.size() * values.size());
}

void TestSortOrder::shuffledRegisterSortsAsTheLiteralRule_data() {
    QTest::addColumn<unsigned>("seed");
    QTest::addColumn<int>("size");
    QTest::newRow("tricky values alone") << 0u << 0;
    for (unsigned seed = 1; seed <= 5; ++seed)
        QTest::newRow(qPrintable(QString("mixed register, seed %1").arg(seed))) << seed << 400;
}

void TestSortOrder::shuffledRegisterSortsAsTheLiteralRule() {
    QFETCH(unsigned, seed);
    QFETCH(int, size);
    QList<QVariant> values = size ? mixedRegister(size, seed) : trickyValues();
    std::shuffle(values.begin(), values.end(), std::mt19937(seed));
    QStandardItemModel *source = columnModel(values, this);
    BothRules rules(source);
    auto &[fast, literal] = rules;

    for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
        rules.sort(0, order);
        QCOMPARE(shownOrder(fast), shownOrder(literal));
    }
}

void TestSortOrder::changedCellsAreSortedByTheirNewValue() {
    QStandardItemModel *source = columnModel({"5", "20", "300", "4000"}, this);
    BothRules rules(source);
    auto &[fast, literal] = rules;
    rules.sort(0);

    // The proxy re-sorts a changed row at once; a key kept from before would put it back.
    source->setData(source->index(0, 0), "50000");
    source->setData(source->index(3, 0), "1");
    source->setData(source->index(1, 0), "x");
    QCOMPARE(shownOrder(fast), shownOrder(literal));
    QCOMPARE(shownOrder(fast), (QVector<int>{3, 2, 0, 1}));
}

void TestSortOrder::insertedAndRemovedRowsKeepTheOrder() {
    QStandardItemModel *source = columnModel(mixedRegister(50, 7), this);
    BothRules rules(source);
    auto &[fast, literal] = rules;
    rules.sort(0);

    // Rows shift under the kept keys: new ones in front, old ones taken out in the middle.
    source->insertRows(0, 3);
    source->setData(source->index(0, 0), "3");
    source->setData(source->index(1, 0), "");
    source->setData(source->index(2, 0), "123456789");
    QCOMPARE(shownOrder(fast), shownOrder(literal));
    source->removeRows(10, 20);
    QCOMPARE(shownOrder(fast), shownOrder(literal));
    source->insertRow(5, new QStandardItem("8"));
    QCOMPARE(shownOrder(fast), shownOrder(literal));
    source->sort(0, Qt::DescendingOrder);
    QCOMPARE(shownOrder(fast), shownOrder(literal));
}

void TestSortOrder::otherCompareModeIsTheBaseComparison() {
    QStandardItemModel *source = columnModel({"10", "9", "100", "-1"}, this);
    QMySortFilterProxyModel proxy;
    proxy.setSourceModel(source);
    QCOMPARE(proxy.compareMode, 0);
    proxy.sort(0);
    QCOMPARE(shownOrder(proxy), (QVector<int>{3, 0, 2, 1}));
}

void TestSortOrder::reloadedRegisterIsSortedByItsNewRows() {
    const QString connection = "sortorder";
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connection);
        db.setDatabaseName(":memory:");
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec("create table obojky (id integer primary key AUTOINCREMENT, obojek "
                           "integer not null unique, eid varchar(60))"));
        // More rows than the model fetches at once.
        const QList<QVariant> eids = mixedRegister(700, 11);
        QVERIFY(query.prepare("insert into obojky(obojek,eid) values (?,?)"));
        for (int row = 0; row < eids.size(); ++row) {
            query.addBindValue(row + 1);
            query.addBindValue(eids[row]);
            QVERIFY(query.exec());
        }

        MySqlQueryModel model;
        BothRules rules(&model);
        auto &[fast, literal] = rules;
        rules.sort(2);
        for (int reload = 0; reload < 3; ++reload) {
            model.setQuery("select id,obojek,eid from obojky", db);
            while (model.canFetchMore())
                model.fetchMore();
            QCOMPARE(model.rowCount(), 700 - reload * 100);
            QCOMPARE(shownOrder(fast), shownOrder(literal));
            QVERIFY(query.exec(
                QString("update obojky set eid=obojek*7 where obojek<%1").arg(reload * 50 + 50)));
            QVERIFY(query.exec(QString("delete from obojky where id in (select id from obojky "
                                       "order by eid limit 100)")));
        }
    }
    QSqlDatabase::removeDatabase(connection);
}

ZIRAVE_TEST_MAIN(TestSortOrder)
#include "tst_sortorder.moc"
