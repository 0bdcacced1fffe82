#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "sendpreset.h"

#include <QSettings>

void MainWindow::on_mSendConfig_valueChanged(int pConfigId)
{
    const SendPreset preset = readSendPreset(mSettingsPath, pConfigId);

    // The stored code is index + 1; any number is checked before the sum, which could overflow.
    const qint64 protocol = preset.protocol.value_or(ui->mSendProtocol->currentIndex() + 1);
    ui->mSendProtocol->setCurrentIndex(
        protocol >= 1 && protocol <= ui->mSendProtocol->count() ? int(protocol - 1) : -1);
    ui->mSendChannel->setValue(preset.channel.value_or(ui->mSendChannel->value()));
    ui->mSendAddress->setText(preset.address.value_or(ui->mSendAddress->text()));
    ui->mSendWidth->setValue(preset.width.value_or(ui->mSendWidth->value()));
    ui->mSendHeight->setValue(preset.height.value_or(ui->mSendHeight->value()));
    ui->mSendDepth->setCurrentIndex(preset.depth.value_or(ui->mSendDepth->currentIndex()));
    ui->mSendCompressionType->setCurrentIndex(
        preset.compressionType.value_or(ui->mSendCompressionType->currentIndex()));
    ui->mSendCompressionLevel->setValue(preset.compressionLevel.value_or(ui->mSendCompressionLevel->value()));

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
    settings.beginGroup(sendPresetGroup(ui->mSendConfig->value()));
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
