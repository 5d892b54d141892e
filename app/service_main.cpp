// kiv-syslogd: the receiver as a system service runs it, without a window and
// without the display libraries; windows (kiv-syslog --dir DIR) attach to it.
#include "app/CommandLine.h"
#include "app/Service.h"

int main(int argc, char* argv[])
{
    CommandLine command = parseCommandLine(argumentsOf(argc, argv));
    // With or without --headless: this program has no window.
    if (command.action == CommandLine::Action::Window)
        command.action = CommandLine::Action::Headless;
    return runWithoutWindow(argc, argv, command, Program::Service);
}
