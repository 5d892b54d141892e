#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

CommandLine parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption dir(QStringLiteral("dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption exportDay(QStringLiteral("export"), QString(), QStringLiteral("DAY"));
    const QCommandLineOption keyword(QStringLiteral("keyword"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption ip(QStringLiteral("ip"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption severity(QStringLiteral("severity"), QString(), QStringLiteral("N"));
    const QCommandLineOption facility(QStringLiteral("facility"), QString(), QStringLiteral("N"));
    const QCommandLineOption host(QStringLiteral("host"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption program(QStringLiteral("program"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption from(QStringLiteral("from"), QString(), QStringLiteral("TIME"));
    const QCommandLineOption to(QStringLiteral("to"), QString(), QStringLiteral("TIME"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption checkRules(QStringLiteral("check-rules"));
    const QList<QCommandLineOption> exportOnly{keyword, ip, severity, facility, host, program, from, to, json};
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({dir, headless, exportDay, checkRules, help, version});
    parser.addOptions(exportOnly);

    CommandLine command;
    auto fail = [&command](const QString& error) {
        command.action = CommandLine::Action::Error;
        command.error = error;
        return command;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(help))
        return command.action = CommandLine::Action::Help, command;
    if (parser.isSet(version))
        return command.action = CommandLine::Action::Version, command;

    command.dataDir = parser.value(dir);
    if (parser.isSet(dir) && command.dataDir.isEmpty())
        return fail(QStringLiteral("--dir needs a directory"));
    if (parser.isSet(checkRules)) {
        if (parser.isSet(headless) || parser.isSet(exportDay))
            return fail(QStringLiteral("--check-rules goes only with --dir"));
        command.action = CommandLine::Action::CheckRules;
    }
    if (parser.isSet(exportDay)) {
        if (parser.isSet(headless))
            return fail(QStringLiteral("--export and --headless cannot be used together"));
        command.action = CommandLine::Action::Export;
        command.exportDay = parser.value(exportDay);
        command.filters.keyword = parser.value(keyword);
        command.filters.ipFragment = parser.value(ip);
        command.filters.host = parser.value(host);
        command.filters.app = parser.value(program);
        command.json = parser.isSet(json);
        const auto number = [&](const QCommandLineOption& option, int highest, int& into) {
            if (!parser.isSet(option))
                return true;
            bool ok = false;
            into = parser.value(option).toInt(&ok);
            return ok && into >= 0 && into <= highest;
        };
        if (!number(severity, 7, command.filters.maxSeverity))
            return fail(QStringLiteral("--severity needs a number of 0 to 7"));
        if (!number(facility, 23, command.filters.facility))
            return fail(QStringLiteral("--facility needs a number of 0 to 23"));
        const std::optional<QString> fromBound = normalizedTimeBound(parser.value(from), false);
        const std::optional<QString> toBound = normalizedTimeBound(parser.value(to), true);
        if (!fromBound || !toBound)
            return fail(QStringLiteral("--from and --to need yyyy-MM-dd, yyyy-MM-dd HH:mm or yyyy-MM-dd HH:mm:ss"));
        command.filters.from = *fromBound;
        command.filters.to = *toBound;
        return command;
    }
    for (const QCommandLineOption& option : exportOnly) {
        if (parser.isSet(option))
            return fail(QStringLiteral("--%1 goes with --export").arg(option.names().constFirst()));
    }
    if (command.action != CommandLine::Action::CheckRules)
        command.action = parser.isSet(headless) ? CommandLine::Action::Headless : CommandLine::Action::Window;
    return command;
}

QString usageText(Program program)
{
    const bool service = program == Program::Service;
    return QStringLiteral(
               "Usage: %1 [--dir DIR]%2\n"
               "       %1 --check-rules [--dir DIR]\n"
               "       %1 --export DAY [--keyword TEXT] [--ip TEXT] [--severity N] [--facility N]\n"
               "              [--host TEXT] [--program TEXT] [--from TIME] [--to TIME] [--json] [--dir DIR]\n"
               "\n"
               "Receives syslog messages on one port over UDP and over TCP (unless tcp=0 is set in\n"
               "varare.conf) and stores them in DIR/syslog.mdb, one table a day.\n%3"
               "\n"
               "  --dir DIR       keep syslog.mdb, syslog_recovery.log and Temporal.mdb in DIR\n"
               "                  (default: the program's own directory)\n"
               "  --headless      %4\n"
               "  --check-rules   read DIR/rules.json, print each rule as understood; exit status 2 and\n"
               "                  the first fault when a rule cannot be read\n"
               "  --export DAY    write the records of DAY (yyyy-MM-dd, or all) as CSV to standard output\n"
               "  --keyword TEXT  with --export: only messages containing TEXT (% and _ are wildcards)\n"
               "  --ip TEXT       with --export: only senders whose address contains TEXT\n"
               "  --severity N    with --export: only messages of severity N or more urgent (0 to 7)\n"
               "  --facility N    with --export: only messages of facility N (0 to 23)\n"
               "  --host TEXT     with --export: only messages whose host field contains TEXT\n"
               "  --program TEXT  with --export: only messages whose program field contains TEXT\n"
               "  --from TIME     with --export: only records that arrived at TIME or later\n"
               "  --to TIME       with --export: only records that arrived at TIME or earlier\n"
               "                  (TIME: yyyy-MM-dd, yyyy-MM-dd HH:mm or yyyy-MM-dd HH:mm:ss)\n"
               "  --json          with --export: write JSON Lines instead of CSV\n"
               "  -h, --help      show this text\n"
               "  -v, --version   show the version\n")
        .arg(service ? QStringLiteral("kiv-syslogd") : QStringLiteral("kiv-syslog"),
             service ? QString() : QStringLiteral(" [--headless]"),
             service ? QStringLiteral("It has no window; windows started with kiv-syslog --dir DIR attach to it.\n")
                     : QString(),
             service ? QStringLiteral("accepted: this program always runs without a window")
                     : QStringLiteral("run the receiver alone, without a window (as a system service)"));
}

QString dataDirProblem(const QString& dir)
{
    const QFileInfo info(dir);
    const QString shown = QDir::toNativeSeparators(info.absoluteFilePath());
    if (!info.exists())
        return QCoreApplication::translate("CommandLine", "The directory %1 does not exist").arg(shown);
    if (!info.isDir())
        return QCoreApplication::translate("CommandLine", "%1 is not a directory").arg(shown);
#ifdef Q_OS_UNIX
    const bool writable = ::access(QFile::encodeName(info.absoluteFilePath()).constData(), W_OK | X_OK) == 0;
#else
    const bool writable = info.isWritable();
#endif
    if (!writable)
        return QCoreApplication::translate("CommandLine", "The directory %1 is not writable").arg(shown);
    return QString();
}
