// Command lines: the preset file the window writes, options over a preset, and the one-line
// errors of bad values.

#include "options.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

ParsedCommandLine parse(Command command, const QStringList &arguments, const QString &settings = QString())
{
    return parseCommandLine(command, arguments, settings);
}

class Presets : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mFolder.isValid());
        // As the window's Save writes entry 7: TCP, channel 12, 320 x 200, 16 bits, JPEG level 30.
        QSettings settings(path(), QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("7"));
        for (const auto &[key, value] : std::initializer_list<std::pair<const char *, QVariant>>{
                 {"protocol", 2}, {"channel", 12}, {"address", QStringLiteral("10.1.2.3")}, {"width", 320},
                 {"height", 200}, {"depth", 0}, {"compressiontype", 1}, {"compressionlevel", 30}})
            settings.setValue(QLatin1String(key), value);
        settings.endGroup();
        settings.beginGroup(QStringLiteral("8"));
        settings.setValue(QStringLiteral("protocol"), 9);
        settings.endGroup();
        settings.beginGroup(QStringLiteral("9"));
        settings.setValue(QStringLiteral("width"), 0);
        settings.setValue(QStringLiteral("compressiontype"), 0);
        settings.endGroup();
    }
    QString path() const { return mFolder.filePath(QStringLiteral("zunStream.ini")); }

    QTemporaryDir mFolder;
};

TEST_F(Presets, AnEntryGivesTheWindowsSendSettingsAndOptionsWin)
{
    const ParsedCommandLine parsed = parse(Command::Send, {QStringLiteral("--preset"), QStringLiteral("7")}, path());
    ASSERT_EQ(parsed.outcome, ParsedCommandLine::Run) << parsed.text.toStdString();
    const Options &o = parsed.options;
    EXPECT_EQ(o.protocol, uint32_t(ZUN_PROTOCOL_TCP));
    EXPECT_EQ(o.port, 10600u);
    EXPECT_EQ(o.address, QStringLiteral("10.1.2.3"));
    EXPECT_EQ(o.format.width, 320);
    EXPECT_EQ(o.format.height, 200);
    EXPECT_EQ(o.format.depth, 0);
    EXPECT_EQ(o.jpegLevel, 30u);

    const Options over = parse(Command::Send, {QStringLiteral("--preset"), QStringLiteral("7"), QStringLiteral("--port"),
                                               QStringLiteral("4000"), QStringLiteral("--depth"), QStringLiteral("32")},
                               path()).options;
    EXPECT_EQ(over.port, 4000u);
    EXPECT_EQ(over.format.depth, 2);
    EXPECT_EQ(over.format.width, 320);

    // As the window: a stored size of 0 means 128, and compression type 0 is raw.
    const Options zero = parse(Command::Send, {QStringLiteral("--preset"), QStringLiteral("9"), QStringLiteral("--jpeg"),
                                               QStringLiteral("5")}, path()).options;
    EXPECT_EQ(zero.format.width, 128);
    EXPECT_EQ(zero.jpegLevel, 5u) << "--jpeg given as well wins over the entry's raw";
}

TEST_F(Presets, AMissingEntryOrABadStoredValueIsAnError)
{
    for (const QString &entry : {QStringLiteral("8"), QStringLiteral("42"), QStringLiteral("100")}) {
        const ParsedCommandLine parsed = parse(Command::Send, {QStringLiteral("--preset"), entry}, path());
        EXPECT_EQ(parsed.outcome, ParsedCommandLine::Error) << entry.toStdString();
        EXPECT_FALSE(parsed.text.isEmpty());
    }
    EXPECT_EQ(parse(Command::Recv, {QStringLiteral("--preset"), QStringLiteral("7")},
                    mFolder.filePath(QStringLiteral("none.ini"))).outcome,
              ParsedCommandLine::Error);
}

TEST(Options, BadValuesAreOneLineErrors)
{
    const QStringList bad[] = {
        {QStringLiteral("--depth"), QStringLiteral("12")},     {QStringLiteral("--size"), QStringLiteral("640")},
        {QStringLiteral("--size"), QStringLiteral("99999x2")}, {QStringLiteral("--fps"), QStringLiteral("0")},
        {QStringLiteral("--jpeg"), QStringLiteral("101")},     {QStringLiteral("--protocol"), QStringLiteral("sctp")},
        {QStringLiteral("--channel"), QStringLiteral("-1")},   {QStringLiteral("--port"), QStringLiteral("70000")},
        {QStringLiteral("--channel"), QStringLiteral("1"), QStringLiteral("--port"), QStringLiteral("2")},
        {QStringLiteral("--pattern"), QStringLiteral("zebra")}, {QStringLiteral("--seconds")},
        {QStringLiteral("--redundancy"), QStringLiteral("101")},
        {QStringLiteral("--verify")}, // a recv option
        {QStringLiteral("stray")},
    };
    for (const QStringList &arguments : bad) {
        const ParsedCommandLine parsed = parse(Command::Send, arguments);
        EXPECT_EQ(parsed.outcome, ParsedCommandLine::Error) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(parsed.text.contains(QLatin1Char('\n')));
    }
    EXPECT_EQ(parse(Command::Recv, {QStringLiteral("--expect"), QStringLiteral("64x48x7")}).outcome,
              ParsedCommandLine::Error);
    EXPECT_EQ(parse(Command::Recv, {QStringLiteral("--protocol"), QStringLiteral("tcp"), QStringLiteral("--group"),
                                    QStringLiteral("239.1.2.3")}).outcome,
              ParsedCommandLine::Error);
}

// Options a command cannot honour are refused, not taken and ignored; the help says what an
// option does in that command.
TEST(Options, WhatACommandCannotHonourIsRefusedAndItsHelpTellsTheTruth)
{
    auto error = [](Command command, const QStringList &arguments) {
        const ParsedCommandLine parsed = parse(command, arguments);
        return parsed.outcome == ParsedCommandLine::Error ? parsed.text : QString();
    };
    EXPECT_TRUE(error(Command::Check, {QStringLiteral("--frames"), QStringLiteral("10")}).contains(QLatin1String("frames")));
    EXPECT_EQ(error(Command::Send, {QStringLiteral("--size"), QStringLiteral("0x0")}),
              QStringLiteral("--size 0x0: sizes are 1 to 8192 each way"));
    EXPECT_FALSE(error(Command::Check, {QStringLiteral("--size"), QStringLiteral("8193x2")}).isEmpty());
    for (const char *protocol : {"tcp", "memory"}) {
        EXPECT_EQ(error(Command::Send, {QStringLiteral("--protocol"), QLatin1String(protocol), QStringLiteral("--redundancy"),
                                        QStringLiteral("10")}),
                  QStringLiteral("--redundancy applies to udp only, not %1").arg(QLatin1String(protocol)));
        EXPECT_EQ(error(Command::Send, {QStringLiteral("--pacing-mbps"), QStringLiteral("50"), QStringLiteral("--protocol"),
                                        QLatin1String(protocol)}),
                  QStringLiteral("--pacing-mbps applies to udp only, not %1").arg(QLatin1String(protocol)));
    }
    EXPECT_FALSE(error(Command::Send, {QStringLiteral("--pacing-mbps"), QStringLiteral("0")}).isEmpty());
    const ParsedCommandLine paced = parse(Command::Send, {QStringLiteral("--pacing-mbps"), QStringLiteral("12.5")});
    ASSERT_EQ(paced.outcome, ParsedCommandLine::Run) << paced.text.toStdString();
    EXPECT_EQ(paced.options.pacingMbps, 12.5);

    const QString checkHelp = commandHelp(Command::Check);
    const QString fpsLine = checkHelp.mid(checkHelp.indexOf(QLatin1String("  --fps <FPS>")));
    EXPECT_FALSE(fpsLine.left(fpsLine.indexOf(QLatin1String("\n  -"))).contains(QLatin1String("Default")))
        << "check has no rate of its own: it runs flat out";
    EXPECT_FALSE(checkHelp.contains(QLatin1String("--frames")));
    EXPECT_TRUE(commandHelp(Command::Send).contains(QLatin1String("--pacing-mbps")));
}

TEST(Options, RecvThresholdsAndVerify)
{
    const ParsedCommandLine parsed =
        parse(Command::Recv, {QStringLiteral("--min-psnr"), QStringLiteral("31.5"), QStringLiteral("--expect"),
                              QStringLiteral("1920x1080x8"), QStringLiteral("--max-loss"), QStringLiteral("0.5"),
                              QStringLiteral("--channel"), QStringLiteral("3")});
    ASSERT_EQ(parsed.outcome, ParsedCommandLine::Run) << parsed.text.toStdString();
    const Options &o = parsed.options;
    EXPECT_TRUE(o.verify) << "--min-psnr needs frames scored";
    EXPECT_EQ(o.thresholds.minPsnr, 31.5);
    EXPECT_EQ(o.thresholds.maxLossPercent, 0.5);
    ASSERT_TRUE(o.thresholds.expect);
    EXPECT_EQ(o.thresholds.expect->width, 1920);
    EXPECT_EQ(o.thresholds.expect->depth, 3);
    EXPECT_EQ(o.port, 10591u);
    EXPECT_EQ(parse(Command::Send, {QStringLiteral("--help")}).outcome, ParsedCommandLine::ShowText);
}

} // namespace
