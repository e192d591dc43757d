#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "qmysortfilterproxymodel.h"
#include "storedindex.h"

#include <QHeaderView>
#include <QVariant>

namespace {
QString sectionSizeKey(int section) {
    return QStringLiteral("table/sectionSize") + QString::number(section);
}
} // namespace

void MainWindow::loadSettings() {
    AppSettings settings;
    QHeaderView *header = m_ui->tableView->horizontalHeader();

    for (int section = 0; section < header->count(); ++section) {
        const QVariant width = settings.value(sectionSizeKey(section));
        if (!width.isNull())
            header->resizeSection(section, width.toInt());
    }

    // Only the column is kept: the table always comes up ascending.
    const int sortColumn = settings.value("table/sectionSort", 0).toInt();
    m_ui->tableView->sortByColumn(sortColumn, header->sortIndicatorOrder());
    header->setSortIndicator(sortColumn, Qt::AscendingOrder);

    // A pair is applied only whole, so that half a stored geometry does not move the window.
    const QVariant posX = settings.value("window/posx");
    const QVariant posY = settings.value("window/posy");
    if (!posX.isNull() && !posY.isNull())
        move(posX.toInt(), posY.toInt());
    const QVariant width = settings.value("window/width");
    const QVariant height = settings.value("window/height");
    if (!width.isNull() && !height.isNull())
        resize(width.toInt(), height.toInt());

    m_ui->objednavka->setText(settings.value("orderno", QString()).toString());
    m_ui->zaznam->setChecked(settings.value("record", false).toBool());
    restoreCurrentIndex(m_ui->com, settings.value("com", 0).toInt());
}

void MainWindow::saveSettings() {
    AppSettings settings;
    const QHeaderView *header = m_ui->tableView->horizontalHeader();

    for (int section = 0; section < header->count(); ++section)
        settings.setValue(sectionSizeKey(section), header->sectionSize(section));
    settings.setValue("table/sectionSort", m_sortProxy->sortColumn());

    settings.setValue("window/posx", pos().x());
    settings.setValue("window/posy", pos().y());
    settings.setValue("window/width", width());
    settings.setValue("window/height", height());

    settings.setValue("orderno", m_ui->objednavka->text());
    settings.setValue("record", m_ui->zaznam->isChecked());
    settings.setValue("com", m_ui->com->currentIndex());
}
