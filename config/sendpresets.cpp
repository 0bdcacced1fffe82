#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QSettings>

namespace {

QString presetGroup(int configId)
{
    return QStringLiteral("%1").arg(configId, 0, 10, QLatin1Char(' '));
}

} // namespace

void MainWindow::on_mSendConfig_valueChanged(int pConfigId)
{
    QSettings settings(mSettingsPath, QSettings::IniFormat);
    settings.beginGroup(presetGroup(pConfigId));

    // The stored code is index + 1; any number is checked before the sum, which could overflow.
    const qint64 protocol =
        settings.value(QStringLiteral("protocol"), ui->mSendProtocol->currentIndex() + 1).toLongLong();
    ui->mSendProtocol->setCurrentIndex(
        protocol >= 1 && protocol <= ui->mSendProtocol->count() ? int(protocol - 1) : -1);
    ui->mSendChannel->setValue(settings.value(QStringLiteral("channel"), ui->mSendChannel->value()).toInt());
    ui->mSendAddress->setText(settings.value(QStringLiteral("address"), ui->mSendAddress->text()).toString());
    ui->mSendWidth->setValue(settings.value(QStringLiteral("width"), ui->mSendWidth->value()).toInt());
    ui->mSendHeight->setValue(settings.value(QStringLiteral("height"), ui->mSendHeight->value()).toInt());
    ui->mSendDepth->setCurrentIndex(
        settings.value(QStringLiteral("depth"), ui->mSendDepth->currentIndex()).toInt());
    ui->mSendCompressionType->setCurrentIndex(
        settings.value(QStringLiteral("compressiontype"), ui->mSendCompressionType->currentIndex()).toInt());
    ui->mSendCompressionLevel->setValue(
        settings.value(QStringLiteral("compressionlevel"), ui->mSendCompressionLevel->value()).toInt());

    settings.endGroup();

    // An unchanged index emits no change signal, so the protocol slot's rule is applied here too.
    switch (ui->mSendProtocol->currentIndex()) {
    case 0:
    case 1:
        ui->mSendAddress->setEnabled(true);
        break;
    case 2:
        ui->mSendAddress->setEnabled(false);
        break;
    default:
        break;
    }
}

void MainWindow::on_mSendSave_clicked()
{
    const QList<std::pair<QString, QVariant>> values = {
        {QStringLiteral("protocol"), ui->mSendProtocol->currentIndex() + 1},
        {QStringLiteral("channel"), ui->mSendChannel->value()},
        {QStringLiteral("address"), ui->mSendAddress->text()},
        {QStringLiteral("width"), ui->mSendWidth->value()},
        {QStringLiteral("height"), ui->mSendHeight->value()},
        {QStringLiteral("depth"), ui->mSendDepth->currentIndex()},
        {QStringLiteral("compressiontype"), ui->mSendCompressionType->currentIndex()},
        {QStringLiteral("compressionlevel"), ui->mSendCompressionLevel->value()},
    };

    QSettings settings(mSettingsPath, QSettings::IniFormat);
    settings.beginGroup(presetGroup(ui->mSendConfig->value()));
    QList<std::pair<QString, QVariant>> stored;
    for (const auto &[key, value] : values) {
        stored.append({key, settings.value(key)});
        settings.setValue(key, value);
    }
    settings.sync();

    // Qt keeps unwritten values for the next settings object on this file; put back what the
    // file holds, so that a failed save does not show up later as a saved entry.
    if (settings.status() != QSettings::NoError) {
        for (const auto &[key, value] : stored) {
            if (value.isValid())
                settings.setValue(key, value);
            else
                settings.remove(key);
        }
    }
    settings.endGroup();
}
