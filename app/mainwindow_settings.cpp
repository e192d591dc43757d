#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "qmysortfilterproxymodel.h"
#include "storedindex.h"
#include "windowgeometry.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
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

    // A pair is applied only whole, so that half a stored geometry does not move the window. What
    // is applied stays on a screen: the file may come from another machine or a monitor since
    // unplugged.
    const QVariant posX = settings.value("window/posx");
    const QVariant posY = settings.value("window/posy");
    const QVariant width = settings.value("window/width");
    const QVariant height = settings.value("window/height");
    const bool hasPosition = !posX.isNull() && !posY.isNull();
    const bool hasSize = !width.isNull() && !height.isNull();
    if (hasPosition || hasSize) {
        const QRect wanted(hasPosition ? QPoint(posX.toInt(), posY.toInt()) : pos(),
                           hasSize ? QSize(width.toInt(), height.toInt()) : size());
        QVector<QRect> screens;
        for (const QScreen *screen : QGuiApplication::screens())
            screens << screen->availableGeometry();
        const QRect fitted = fitOnScreens(wanted, screens);
        if (hasPosition)
            move(fitted.topLeft());
        if (hasSize)
            resize(fitted.size());
    }

    m_ui->objednavka->setText(settings.value("orderno", QString()).toString());
    m_ui->zaznam->setChecked(settings.value("record", false).toBool());
    // The index alone may name another device once the list has changed; the location names the
    // same one, and is kept chosen even while its device is absent.
    const QString storedLocation = settings.value("com_port").toString();
    if (!storedLocation.isEmpty()) {
        m_reader->chooseStored(storedLocation, PortList::identityFromText(
                                                   settings.value(readerIdentityKey).toString()));
    } else {
        restoreCurrentIndex(m_ui->com, settings.value("com", 0).toInt());
    }
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
    settings.setValue("com_port", m_reader->chosenLocation());
}
