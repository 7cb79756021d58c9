// mirad: the command line over the Mirad module.
#include <cstdio>
#include <string>

#include "host/cli.h"
#include "host/output.h"
#include "host/progress.h"

#ifndef MIRAD_VERSION
#define MIRAD_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace host;
    Options options;
    std::string problem;
    if (!ParseCommandLine(argc, argv, &options, &problem)) {
        Error(problem + " (see mirad --help)");
        return 2;
    }
    SetQuiet(options.quiet);
    if (options.help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("mirad %s\n", MIRAD_VERSION);
        return 0;
    }
    const Command* command = FindCommand(options.command);
    if (!command) {
        Error("no command given (see mirad --help)");
        return 2;
    }
    size_t given = options.arguments.size();
    if (given < command->minArguments || given > command->maxArguments) {
        Error(std::string(command->name) + " takes " + command->arguments + " (see mirad --help)");
        return 2;
    }
    InstallInterruptHandlers();
    int status = command->run(options);
    // A listing cut short by a full disk or a closed pipe is a failure.
    if (!StdoutWritten()) {
        Error("cannot write to standard output");
        if (status == 0) status = 1;
    }
    return status;
}
