// The commands of the table (host/cli.cpp); each returns mirad's exit status.
#pragma once

#include "host/cli.h"

namespace host {

int CommandList(const Options& options);
int CommandInfo(const Options& options);
int CommandExtract(const Options& options);
int CommandTest(const Options& options);
int CommandPack(const Options& options);
int CommandBuild(const Options& options);
int CommandUpdate(const Options& options);
int CommandRemove(const Options& options);

}  // namespace host
