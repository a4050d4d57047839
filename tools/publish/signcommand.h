#pragma once

#include "command.h"

// sign PRIVATE_FILE FILE: writes FILE.sig, the raw signature of FILE.
class SignCommand : public Command
{
public:
    QString name() const override;
    QString arguments() const override;
    QString summary() const override;
    int run(const QStringList& args) override;
};
