#include "verifycommand.h"

#include "manifest/tomcryptutil.h"

#include <cstdlib>

QString VerifyCommand::name() const
{
    return QStringLiteral("verify");
}

QString VerifyCommand::arguments() const
{
    return QStringLiteral("PUBLIC_FILE FILE");
}

QString VerifyCommand::summary() const
{
    return QStringLiteral("check FILE against FILE.sig (exit 0 valid, 1 not valid)");
}

int VerifyCommand::run(const QStringList& args)
{
    if (args.size() != 2)
        return usageError();
    const QString sigPath = args[1] + QStringLiteral(".sig");
    Rsa_key key{};
    unsigned char* msg = nullptr;
    unsigned char* sig = nullptr;
    unsigned long msgLen = 0;
    unsigned long sigLen = 0;
    const auto release = [&] {
        std::free(msg);
        std::free(sig);
        free_key(&key);
    };

    // Unreadable input: the key, the file or its signature.
    try {
        load_key(&key, nativePath(args[0]).constData());
        read_file(nativePath(args[1]).constData(), &msg, &msgLen);
        read_file(nativePath(sigPath).constData(), &sig, &sigLen);
    } catch (const crypt_exception& e) {
        release();
        report(QString::fromLocal8Bit(e.what()));
        return Failure;
    }

    // A malformed signature (wrong length, bad encoding) is as invalid as
    // one that does not match.
    bool valid = false;
    QString reason = QStringLiteral("signature does not match %1").arg(args[1]);
    try {
        valid = verify_msg(&key, msg, msgLen, sig, sigLen);
    } catch (const crypt_exception& e) {
        reason = QStringLiteral("invalid signature %1 (%2)").arg(sigPath, QString::fromLocal8Bit(e.what()));
    }
    release();
    if (!valid) {
        report(reason);
        return Rejected;
    }
    say(QStringLiteral("Signature of %1 is valid").arg(args[1]));
    return Success;
}
