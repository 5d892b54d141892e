#include "app/Service.h"

#include "app/SignalBridge.h"
#include "intake/HeadlessService.h"
#include "intake/ReceiverCore.h"
#include "intake/ReceiverHost.h"
#include "platform/Clock.h"
#include "platform/IniSettingsStore.h"
#include "platform/Language.h"
#include "platform/QtUdpSocket.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "platform/dbus/DesktopNotifier.h"
#include "platform/Timer.h"
#include "rules/RulesFile.h"
#include "search/RecordExport.h"
#include "store/GroupAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

void printLine(const QString& line) { QTextStream(stderr) << "kiv-syslog: " << line << Qt::endl; }

void useLocaleLanguage()
{
    if (!useLanguage(languageForLocale(messagesLocaleName())))
        printLine(QStringLiteral("the Chinese translation is missing from this build; the interface is English"));
}

QStringList argumentsOf(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

QString dataDirOf(const CommandLine& command)
{
    return command.dataDir.isEmpty() ? QCoreApplication::applicationDirPath() : QDir(command.dataDir).absolutePath();
}

namespace {

int runExport(const CommandLine& command, const QString& dataDir)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) {
        printLine(QStringLiteral("cannot write to standard output"));
        return 2;
    }
    const Result<> exported = exportRecords(dataDir, command.exportDay, command.filters, out,
                                            command.json ? ExportFormat::JsonLines : ExportFormat::Csv);
    out.flush();
    if (exported)
        return 0;
    printLine(exported.error());
    return 2;
}

// Each rule as understood on standard output; the first fault on standard error.
int runCheckRules(const QString& dataDir)
{
    const QString path = QDir(dataDir).filePath(RuleSet::fileName());
    const QString shown = QDir::toNativeSeparators(path);
    if (!QFileInfo::exists(path)) {
        printLine(QStringLiteral("%1: there is no such file").arg(shown));
        return 2;
    }
    const ParsedRules parsed = RulesFile::read(path);
    if (!parsed.fileFault.isEmpty()) {
        printLine(QStringLiteral("%1: %2").arg(shown, parsed.fileFault));
        return 2;
    }
    QTextStream out(stdout);
    out << shown << ": " << parsed.rules.size() << (parsed.rules.size() == 1 ? " rule" : " rules") << " read\n";
    for (const Rule& rule : parsed.rules)
        out << "  " << RuleSet::describe(rule) << '\n';
    out.flush();
    if (!parsed.faults.isEmpty()) {
        const qsizetype more = parsed.faults.size() - 1;
        printLine(QStringLiteral("%1: %2%3")
                      .arg(shown, parsed.faults.first().text(),
                           more > 0 ? QStringLiteral(" (and %1 more faulty)").arg(more) : QString()));
        return 2;
    }
    return 0;
}

int runHeadless(QCoreApplication& app, const QString& dataDir)
{
    // A service started by another user (the system's) holds its lock in
    // another runtime directory; its socket in the data directory tells.
    const QString linkPath = ReceiverHost::socketPath(dataDir);
    if (ReceiverHost::serviceAnswers(linkPath)) {
        printLine(QStringLiteral("程序已经在运行，不支持多开！ (a service answers on %1)").arg(linkPath));
        return 1;
    }
    IniSettingsStore settings(IniSettingsStore::defaultPath());
    LockFileSingleInstance singleInstance(LockFileSingleInstance::defaultLockPath(dataDir));
    SystemClock clock;
    SqliteEngine readEngine{5000};
    SqliteEngine writeEngine{250};
    ReceiverCore core(CoreServices{clock, readEngine, writeEngine,
                                   [] { return std::unique_ptr<UdpSocket>(new QtUdpSocket); },
                                   [](int intervalMs) { return std::unique_ptr<Timer>(new QtTimer(intervalMs)); },
                                   dataDir, &settings, /* indexClosedDays */ true, /* matchRulesOnOwnThread */ true});
    HeadlessService service(core, settings, singleInstance, dataDir, printLine);
    // A rule's notify action: on the desktop of the user the service runs for, if it can.
    DesktopNotifier notifier(printLine);
    QObject::connect(&core, &ReceiverCore::ruleFired, &notifier, [&notifier](const RuleFiring& firing) {
        notifier.notify(firing.rule, logLine(firing.record) + firing.heldText());
    });
    if (!service.start())
        return 1;
    shareDatabaseWithGroup(dataDir);
    // Windows started on the same directory attach here.
    ReceiverHost host(core, ReceiverHost::Options{&settings, LinkGuard::Limits{}});
    QObject::connect(&host, &ReceiverHost::logLine, &host, printLine);
    const Result<> listening = host.listen(linkPath);
    printLine(listening ? QStringLiteral("windows attach on %1").arg(linkPath)
                        : QStringLiteral("windows cannot attach: %1").arg(listening.error()));
    SignalBridge signalBridge([&service] {
        service.stop();
        QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &service, [&service] { service.stop(); });
    return app.exec();
}

} // namespace

int runWithoutWindow(int& argc, char* argv[], const CommandLine& command, Program program)
{
    switch (command.action) {
    case CommandLine::Action::Help:
        QTextStream(stdout) << usageText(program);
        return 0;
    case CommandLine::Action::Version:
        QTextStream(stdout) << QStringLiteral("kiv-syslog %1.%2").arg(KIV_VERSION_MAJOR).arg(KIV_VERSION_MINOR)
                            << Qt::endl;
        return 0;
    case CommandLine::Action::Error:
        QTextStream(stderr) << QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() << ": " << command.error
                            << "\n\n"
                            << usageText(program);
        return 2;
    default:
        break;
    }
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kiv-syslog"));
    const QString dataDir = dataDirOf(command);
    if (command.action == CommandLine::Action::Export)
        return runExport(command, dataDir);
    if (command.action == CommandLine::Action::CheckRules)
        return runCheckRules(dataDir);
    // The service's lines are English; only a data directory it cannot use is
    // told in the user's language, as a window tells it.
    useLocaleLanguage();
    if (const QString problem = dataDirProblem(dataDir); !problem.isEmpty()) {
        printLine(problem);
        return 1;
    }
    return runHeadless(app, dataDir);
}
