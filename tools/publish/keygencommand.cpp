#include "keygencommand.h"

#include "manifest/tomcryptutil.h"

QString KeygenCommand::name() const
{
    return QStringLiteral("keygen");
}

QString KeygenCommand::arguments() const
{
    return QStringLiteral("PRIVATE_FILE PUBLIC_FILE");
}

QString KeygenCommand::summary() const
{
    return QStringLiteral("make a new key pair and write both key files");
}

int KeygenCommand::run(const QStringList& args)
{
    if (args.size() != 2)
        return usageError();
    Rsa_key key{};
    try {
        create_key(&key);
        save_key(&key, PK_PRIVATE, nativePath(args[0]).constData());
        save_key(&key, PK_PUBLIC, nativePath(args[1]).constData());
    } catch (const crypt_exception& e) {
        free_key(&key);
        report(QString::fromLocal8Bit(e.what()));
        return Failure;
    }
    free_key(&key);
    say(QStringLiteral("Wrote private key %1 and public key %2").arg(args[0], args[1]));
    return Success;
}
