#include "manifest/checksignaturetaskspecification.h"

#include "manifest/publickey.h"
#include "manifest/tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>

#include <array>

namespace {
// Large enough that reading costs little next to hashing; small enough for
// the stack of a pool thread.
constexpr qint64 HashBlockSize = 64 * 1024;
}

CheckSigFunc::CheckSigFunc(const QString& filePath, const QString& md5)
    : filePath(filePath)
    , md5(md5)
{
}

bool CheckSigFunc::run()
{
    return md5.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::checkMD5()
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit message(tr("Could not open file %1 for reading").arg(filePath));
        return false;
    }

    QCryptographicHash hash(QCryptographicHash::Md5);
    std::array<char, HashBlockSize> block;
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0) {
            emit message(tr("could not read file %1 correctly").arg(filePath));
            return false;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(block.data(), n));
    }

    const QString actual = QString::fromLatin1(hash.result().toHex());
    // Nothing is trimmed: blanks around the expected sum make it fail.
    return md5.compare(actual, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray content;
    if (!readFile(filePath, content))
        return false;
    QByteArray signature;
    if (!readFile(filePath + QStringLiteral(".sig"), signature))
        return false;

    Rsa_key key{};
    bool valid = false;
    try {
        load_key(&key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
        valid = verify_msg(&key, reinterpret_cast<const unsigned char*>(content.constData()),
                           static_cast<unsigned long>(content.size()),
                           reinterpret_cast<const unsigned char*>(signature.constData()),
                           static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        // A malformed signature (wrong length, bad encoding) is simply not valid.
        valid = false;
    }
    free_key(&key);
    return valid;
}

bool CheckSigFunc::readFile(const QString& path, QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    data.resize(size);
    if (file.read(data.data(), size) != size) {
        emit message(tr("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& filePath, const QString& md5,
                                                                 bool errorOnFailure, QObject* parent,
                                                                 double weight)
    : ASyncTaskSpecification(parent, weight)
    , filePath(filePath)
    , md5(md5)
    , errorOnFailure(errorOnFailure)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(filePath, md5);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    // A task that was reset or ended meanwhile ignores the late verdict.
    if (state != Running)
        return;

    if (ok) {
        emit checkDone(true, this);
        finish();
        return;
    }

    emit message(tr("Signature check failed for %1").arg(filePath));
    emit checkDone(false, this);
    // A parent that restarts itself from checkDone may have reset this task
    // meanwhile; then it has nothing left to end.
    if (state != Running)
        return;
    if (errorOnFailure)
        errorCancel();
    else
        finish();
}
