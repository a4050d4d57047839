#pragma once

#include "command.h"

// keygen PRIVATE_FILE PUBLIC_FILE: makes a new 1024-bit key pair and writes
// both halves as 2048-byte key files.
class KeygenCommand : public Command
{
public:
    QString name() const override;
    QString arguments() const override;
    QString summary() const override;
    int run(const QStringList& args) override;
};
