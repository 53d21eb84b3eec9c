// SPDX-License-Identifier: GPL-3.0-or-later
// Asks the completeness gate about one file as another user would: run as root,
// it drops to "nobody" first, for whom no lease on the file can be had.
// Prints the verdict's number and its description.
#include "FileGate.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        return 3;
    const FileGate::Result r = FileGate::checkComplete(QString::fromLocal8Bit(argv[1]), {});
    std::printf("%d %s\n", int(r.verdict), r.description.toLocal8Bit().constData());
    return 0;
}
