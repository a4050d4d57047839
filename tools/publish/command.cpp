#include "command.h"

#include <QFile>

#include <cstdio>

Command::~Command() = default;

QString Command::synopsis() const
{
    return QStringLiteral("kr3-publish %1 %2").arg(name(), arguments());
}

int Command::usageError() const
{
    std::fprintf(stderr, "Usage: %s\n", qPrintable(synopsis()));
    return Failure;
}

void Command::report(const QString& text) const
{
    std::fprintf(stderr, "kr3-publish %s: %s\n", qPrintable(name()), qPrintable(text));
}

void Command::say(const QString& text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
}

QByteArray Command::nativePath(const QString& path)
{
    return QFile::encodeName(path);
}
