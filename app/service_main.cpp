// kiv-syslogd: the receiver as a system service runs it, without a window and
// without the display libraries; windows (kiv-syslog --dir DIR) attach to it.
#include "app/CommandLine.h"
#include "app/Service.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = parseCommandLine(arguments);
    switch (command.action) {
    case CommandLine::Action::Help:
        QTextStream(stdout) << usageText(Program::Service);
        return 0;
    case CommandLine::Action::Version:
        QTextStream(stdout) << versionText() << Qt::endl;
        return 0;
    case CommandLine::Action::Error:
        QTextStream(stderr) << "kiv-syslogd: " << command.error << "\n\n" << usageText(Program::Service);
        return 2;
    default:
        break;
    }
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kiv-syslog"));
    const QString dataDir = dataDirOf(command);
    if (command.action == CommandLine::Action::Export)
        return runExport(command, dataDir);
    if (const QString problem = dataDirProblem(dataDir, englishLocale()); !problem.isEmpty()) {
        printLine(problem);
        return 1;
    }
    // With or without --headless: this program has no window.
    return runHeadless(app, dataDir);
}
