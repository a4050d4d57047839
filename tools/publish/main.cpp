// kr3-publish: the publisher's tool. Makes the signing keys, signs and
// verifies the files that go onto the mirrors, and publishes releases.

#include "command.h"
#include "keygencommand.h"
#include "releasecommand.h"
#include "signcommand.h"
#include "verifycommand.h"

#include "manifest/tomcryptutil.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

void printUsage(std::FILE* out, const std::vector<std::unique_ptr<Command>>& commands)
{
    std::fprintf(out, "Usage: kr3-publish COMMAND ARGUMENTS...\n\nCommands:\n");
    for (const auto& command : commands) {
        std::fprintf(out, "  %s\n      %s\n", qPrintable(command->synopsis()),
                     qPrintable(command->summary()));
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kr3-publish"));

    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(std::make_unique<KeygenCommand>());
    commands.push_back(std::make_unique<SignCommand>());
    commands.push_back(std::make_unique<VerifyCommand>());
    commands.push_back(std::make_unique<ReleaseCommand>());

    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        printUsage(stderr, commands);
        return Command::Failure;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("help") || name == QLatin1String("--help") || name == QLatin1String("-h")) {
        printUsage(stdout, commands);
        return Command::Success;
    }

    for (const auto& command : commands) {
        if (command->name() != name)
            continue;
        try {
            crypt_init();
        } catch (const crypt_exception& e) {
            std::fprintf(stderr, "kr3-publish: %s\n", e.what());
            return Command::Failure;
        }
        return command->run(args);
    }

    std::fprintf(stderr, "kr3-publish: unknown command \"%s\"\n\n", qPrintable(name));
    printUsage(stderr, commands);
    return Command::Failure;
}
