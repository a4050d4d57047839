#include "signcommand.h"

#include "manifest/tomcryptutil.h"

#include <cstdlib>

QString SignCommand::name() const
{
    return QStringLiteral("sign");
}

QString SignCommand::arguments() const
{
    return QStringLiteral("PRIVATE_FILE FILE");
}

QString SignCommand::summary() const
{
    return QStringLiteral("write FILE.sig, the signature of FILE");
}

int SignCommand::run(const QStringList& args)
{
    if (args.size() != 2)
        return usageError();
    const QString sigPath = args[1] + QStringLiteral(".sig");
    Rsa_key key{};
    unsigned char* msg = nullptr;
    try {
        load_key(&key, nativePath(args[0]).constData());
        if (key.type != PK_PRIVATE)
            throw crypt_exception("not a private key: " + args[0].toStdString());
        unsigned long msgLen = 0;
        read_file(nativePath(args[1]).constData(), &msg, &msgLen);
        unsigned char sig[512];
        unsigned long sigLen = sizeof(sig);
        sign_msg(&key, msg, msgLen, sig, &sigLen);
        write_file(nativePath(sigPath).constData(), sig, sigLen);
    } catch (const crypt_exception& e) {
        std::free(msg);
        free_key(&key);
        report(QString::fromLocal8Bit(e.what()));
        return Failure;
    }
    std::free(msg);
    free_key(&key);
    say(QStringLiteral("Wrote %1").arg(sigPath));
    return Success;
}
