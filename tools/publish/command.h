#pragma once

#include <QString>
#include <QStringList>

// One subcommand of the publisher's tool. The dispatcher in main() picks the
// command by name and hands it the arguments that follow the name.
class Command
{
public:
    // Exit codes shared by all commands.
    enum ExitCode {
        Success = 0,
        // The command ran and its answer is "no" (a signature does not match).
        Rejected = 1,
        // Bad usage, unreadable input or a failed operation.
        Failure = 2,
    };

    virtual ~Command();

    // The name typed on the command line, e.g. "sign".
    virtual QString name() const = 0;
    // The arguments after the name, e.g. "PRIVATE_FILE FILE".
    virtual QString arguments() const = 0;
    // One line saying what the command does.
    virtual QString summary() const = 0;
    // Runs the command; returns its exit code.
    virtual int run(const QStringList& args) = 0;

    // "kr3-publish NAME ARGUMENTS".
    QString synopsis() const;

protected:
    // Writes the command's synopsis to stderr and returns Failure.
    int usageError() const;
    // Writes one line "kr3-publish NAME: TEXT" to stderr.
    void report(const QString& text) const;
    // Writes one line to stdout.
    static void say(const QString& text);
    // The local file-system encoding of a path, for the C file functions.
    static QByteArray nativePath(const QString& path);
};
