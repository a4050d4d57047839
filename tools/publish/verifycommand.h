#pragma once

#include "command.h"

// verify PUBLIC_FILE FILE: checks FILE against FILE.sig. Exit code 0 when the
// signature is valid, 1 when it is not, 2 on bad usage or unreadable input.
class VerifyCommand : public Command
{
public:
    QString name() const override;
    QString arguments() const override;
    QString summary() const override;
    int run(const QStringList& args) override;
};
