#pragma once

#include <QStringList>

#include <initializer_list>
#include <optional>

class QCommandLineParser;

namespace svd::release {

// Each takes the arguments after the command name and returns the exit code;
// messages go to stderr, results to stdout.
int keygen(const QStringList &args);
int signRelease(const QStringList &args);
int makeFeed(const QStringList &args);
int checkKey(const QStringList &args);

// Prints "<command>: <text>" to stderr and returns 1.
int complain(const char *command, const QString &text);

// Parses `args` for `command` (with --help) and checks the required options.
// An exit code when the command ends here (help shown, or an error).
std::optional<int> parseCommand(QCommandLineParser &parser, const char *command, const QStringList &args,
                                std::initializer_list<const char *> required = {});

} // namespace svd::release
