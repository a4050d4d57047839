#include "manifest/publickey.h"
#include "manifest/tomcryptutil.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Length of the DER structure at the start of a key-file image (the outer
// SEQUENCE header and its content), or 0 when it does not start with one.
int derLength(const QByteArray& image)
{
    if (image.size() < 2 || quint8(image[0]) != 0x30)
        return 0;
    const int first = quint8(image[1]);
    if (first < 0x80)
        return 2 + first;
    const int count = first & 0x7f;
    if (count < 1 || count > 2 || image.size() < 2 + count)
        return 0;
    int len = 0;
    for (int i = 0; i < count; ++i)
        len = len * 256 + quint8(image[2 + i]);
    return 2 + count + len;
}

// A key record that frees itself.
struct Key
{
    Rsa_key key{};
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { free_key(&key); }
    operator Rsa_key*() { return &key; }
};

QByteArray sign(Rsa_key* key, const QByteArray& msg)
{
    QByteArray sig(512, '\0');
    unsigned long len = sig.size();
    sign_msg(key, bytes(msg), msg.size(), reinterpret_cast<unsigned char*>(sig.data()), &len);
    sig.truncate(int(len));
    return sig;
}

bool verify(Rsa_key* key, const QByteArray& msg, const QByteArray& sig)
{
    return verify_msg(key, bytes(msg), msg.size(), bytes(sig), sig.size());
}

const QString devPrivateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");
const QString devPublicKey = QStringLiteral(KR3_KEYS_DIR "/dev-public.key");

} // namespace

// The crypto module: SHA-1, RSASSA-PSS signatures with the 1024-bit keys in
// their 2048-byte file form, and the key built into the program.
class TestTomCryptUtil : public QObject
{
    Q_OBJECT

    Key privateKey;
    Key publicKey;

private slots:
    void initTestCase()
    {
        crypt_init();
        load_key(privateKey, QFile::encodeName(devPrivateKey).constData());
        load_key(publicKey, QFile::encodeName(devPublicKey).constData());
        QCOMPARE(privateKey.key.type, int(PK_PRIVATE));
        QCOMPARE(publicKey.key.type, int(PK_PUBLIC));
    }

    void cryptInitAgainKeepsIndexes()
    {
        const int hash = hash_idx;
        const int prng = prng_idx;
        QVERIFY(hash >= 0);
        QVERIFY(prng >= 0);
        QCOMPARE(hash, find_hash("sha1"));
        QCOMPARE(prng, find_prng("sprng"));
        crypt_init();
        QCOMPARE(hash_idx, hash);
        QCOMPARE(prng_idx, prng);
    }

    void hashIsSha1_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("digest");
        QTest::newRow("empty") << QByteArray() << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
        QTest::newRow("abc") << QByteArray("abc") << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d");
        QTest::newRow("million a") << QByteArray(1000000, 'a')
                                   << QByteArray("34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    }

    void hashIsSha1()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, digest);
        QByteArray out(HASH_SIZE, '\0');
        hash_msg(bytes(input), input.size(), reinterpret_cast<unsigned char*>(out.data()));
        QCOMPARE(out.toHex(), digest);
    }

    // A signature verifies for exactly the bytes it was made over; any changed
    // byte of the message gives false without an exception.
    void signatureVerifies_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("changedByte");
        QTest::addColumn<bool>("valid");
        QByteArray binary(5000, '\0');
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char(i * 7 + 3);
        QTest::newRow("empty message") << QByteArray() << -1 << true;
        QTest::newRow("text") << QByteArray("[files]\nupdate=0\n") << -1 << true;
        QTest::newRow("binary") << binary << -1 << true;
        QTest::newRow("first byte changed") << binary << 0 << false;
        QTest::newRow("middle byte changed") << binary << 2500 << false;
        QTest::newRow("last byte changed") << binary << 4999 << false;
    }

    void signatureVerifies()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, changedByte);
        QFETCH(bool, valid);
        const QByteArray sig = sign(privateKey, message);
        QCOMPARE(sig.size(), 128);
        if (changedByte >= 0)
            message[changedByte] = char(message[changedByte] ^ 0x01);
        bool result = !valid;
        try {
            result = verify(publicKey, message, sig);
        } catch (const crypt_exception& e) {
            QFAIL(e.what());
        }
        QCOMPARE(result, valid);
    }

    void signatureOfOtherDataFailsWithoutException()
    {
        const QByteArray sig = sign(privateKey, QByteArray("other data"));
        QCOMPARE(sig.size(), 128);
        bool result = true;
        try {
            result = verify(publicKey, QByteArray("the message"), sig);
        } catch (const crypt_exception& e) {
            QFAIL(e.what());
        }
        QVERIFY(!result);
    }

    // Signatures that are not even well-formed are library errors.
    void malformedSignatureThrows_data()
    {
        QTest::addColumn<QByteArray>("signature");
        const QByteArray sig = sign(privateKey, QByteArray("the message"));
        QTest::newRow("127 bytes") << sig.left(127);
        QTest::newRow("129 bytes") << sig + '\0';
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("128 zero bytes") << QByteArray(128, '\0');
        QTest::newRow("128 bytes above the modulus") << QByteArray(128, '\xff');
    }

    void malformedSignatureThrows()
    {
        QFETCH(QByteArray, signature);
        try {
            verify(publicKey, QByteArray("the message"), signature);
            QFAIL("no exception");
        } catch (const crypt_exception& e) {
            QVERIFY2(QByteArray(e.what()).startsWith("rsa_verify_hash: "), e.what());
        }
    }

    void checkErrText()
    {
        check_err("rsa_import", CRYPT_OK);
        try {
            check_err("rsa_import", CRYPT_INVALID_PACKET);
            QFAIL("no exception");
        } catch (const crypt_exception& e) {
            QCOMPARE(QByteArray(e.what()),
                     QByteArray("rsa_import: ") + error_to_string(CRYPT_INVALID_PACKET));
        }
    }

    // A new key pair written to key files and read back signs and verifies;
    // whatever follows the DER key in the 2048-byte image is ignored.
    void keyFileRoundTrip()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString privPath = dir.filePath(QStringLiteral("private.key"));
        const QString pubPath = dir.filePath(QStringLiteral("public.key"));

        Key made;
        create_key(made);
        QCOMPARE(rsa_get_size(made), 128);
        save_key(made, PK_PRIVATE, QFile::encodeName(privPath).constData());
        save_key(made, PK_PUBLIC, QFile::encodeName(pubPath).constData());

        const QByteArray privImage = readAll(privPath);
        const QByteArray pubImage = readAll(pubPath);
        QCOMPARE(privImage.size(), 2048);
        QCOMPARE(pubImage.size(), 2048);
        // The public half is a PKCS #1 RSAPublicKey of 140 bytes, zeros after it.
        QCOMPARE(derLength(pubImage), 140);
        QCOMPARE(pubImage.mid(140), QByteArray(2048 - 140, '\0'));
        const int privLength = derLength(privImage);
        QVERIFY(privLength > 140 && privLength < 2048);

        Key priv;
        Key pub;
        load_key(priv, QFile::encodeName(privPath).constData());
        load_key(pub, QFile::encodeName(pubPath).constData());
        QCOMPARE(priv.key.type, int(PK_PRIVATE));
        QCOMPARE(pub.key.type, int(PK_PUBLIC));

        const QByteArray msg("round trip");
        QVERIFY(verify(pub, msg, sign(priv, msg)));
        QVERIFY(verify(pub, msg, sign(made, msg)));
        QVERIFY(verify(made, msg, sign(priv, msg)));
        // Under another key the signature decodes to garbage: rejected one
        // way or the other.
        bool otherKeyAccepts = true;
        try {
            otherKeyAccepts = verify(publicKey, msg, sign(priv, msg));
        } catch (const crypt_exception&) {
            otherKeyAccepts = false;
        }
        QVERIFY(!otherKeyAccepts);

        // Other filler: the import takes the whole array and reads only the key.
        QByteArray otherFiller = pubImage.left(140) + QByteArray(2048 - 140, '\xa5');
        Key refilled;
        load_key(refilled, bytes(otherFiller), otherFiller.size());
        QVERIFY(verify(refilled, msg, sign(priv, msg)));
    }

    void keyFileErrors()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray missing = QFile::encodeName(dir.filePath(QStringLiteral("missing.key")));
        const QByteArray unwritable = QFile::encodeName(dir.filePath(QStringLiteral("no/such/dir.key")));
        const QByteArray garbage = QFile::encodeName(dir.filePath(QStringLiteral("garbage.key")));
        QVERIFY(writeAll(QString::fromLocal8Bit(garbage), QByteArray(2048, 'x')));

        Key key;
        QVERIFY_THROWS_EXCEPTION(crypt_exception, load_key(key, missing.constData()));
        try {
            load_key(key, missing.constData());
        } catch (const crypt_exception& e) {
            QCOMPARE(QByteArray(e.what()), "Cannot open file for reading: " + missing);
        }
        try {
            save_key(publicKey, PK_PUBLIC, unwritable.constData());
            QFAIL("no exception");
        } catch (const crypt_exception& e) {
            QCOMPARE(QByteArray(e.what()), "Cannot open file for writing: " + unwritable);
        }
        try {
            load_key(key, garbage.constData());
            QFAIL("no exception");
        } catch (const crypt_exception& e) {
            QVERIFY2(QByteArray(e.what()).startsWith("rsa_import: "), e.what());
        }
        // A failed import leaves a record that may be freed again safely.
        QVERIFY(key.key.N == nullptr);
        // A public key cannot export or sign a private part.
        QVERIFY_THROWS_EXCEPTION(crypt_exception,
                                 save_key(publicKey, PK_PRIVATE, garbage.constData()));
        QVERIFY_THROWS_EXCEPTION(crypt_exception, sign(publicKey, QByteArray("x")));
    }

    // What keys/dev-private.key signs passes the key built into the program.
    void embeddedKeyVerifiesDevelopmentSignature()
    {
        const QByteArray embedded(reinterpret_cast<const char*>(PUBLIC_KEY), PUBLIC_KEY_SIZE);
        if (embedded != readAll(devPublicKey))
            QSKIP("this build embeds another public key than keys/dev-public.key");
        QCOMPARE(derLength(embedded), 140);

        Key key;
        load_key(key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
        const QByteArray msg("[client_linux_x86]\nversion=1\n");
        QVERIFY(verify(key, msg, sign(privateKey, msg)));
        QVERIFY(!verify(key, msg + ' ', sign(privateKey, msg)));
    }

    void fileRoundTrip_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 2047, 2048, 2049, 4096, 100000})
            QTest::addRow("%d bytes", size) << size;
    }

    void fileRoundTrip()
    {
        QFETCH(int, size);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QByteArray data(size, '\0');
        for (int i = 0; i < size; ++i)
            data[i] = char(i % 251);
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("data.bin")));
        write_file(path.constData(), bytes(data), data.size());
        QCOMPARE(readAll(QString::fromLocal8Bit(path)), data);

        unsigned char* buf = nullptr;
        unsigned long len = 12345;
        read_file(path.constData(), &buf, &len);
        const QByteArray back(reinterpret_cast<const char*>(buf), int(len));
        std::free(buf);
        QCOMPARE(back, data);
    }

    void fileErrors()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray missing = QFile::encodeName(dir.filePath(QStringLiteral("missing")));
        const QByteArray unwritable = QFile::encodeName(dir.filePath(QStringLiteral("no/such/file")));
        unsigned char* buf = nullptr;
        unsigned long len = 0;
        try {
            read_file(missing.constData(), &buf, &len);
            QFAIL("no exception");
        } catch (const crypt_exception& e) {
            QCOMPARE(QByteArray(e.what()), "Cannot open file for reading: " + missing);
        }
        QVERIFY(buf == nullptr);
        try {
            write_file(unwritable.constData(), bytes(QByteArray("x")), 1);
            QFAIL("no exception");
        } catch (const crypt_exception& e) {
            QCOMPARE(QByteArray(e.what()), "Cannot open file for writing: " + unwritable);
        }
        // A full device: the failed write is reported, not passed over.
        if (QFile::exists(QStringLiteral("/dev/full")))
            QVERIFY_THROWS_EXCEPTION(crypt_exception,
                                     write_file("/dev/full", bytes(QByteArray(8192, 'x')), 8192));
    }

    // Standard RSASSA-PSS (SHA-1, MGF1 with SHA-1, 8-byte salt): signatures
    // cross over to and from OpenSSL in both directions.
    void interoperatesWithOpenssl()
    {
        const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
        if (openssl.isEmpty())
            QSKIP("openssl is not installed");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        // Hand OpenSSL the bare DER keys, without the filler.
        const QByteArray privImage = readAll(devPrivateKey);
        const QByteArray pubImage = readAll(devPublicKey);
        const QString privDer = dir.filePath(QStringLiteral("private.der"));
        const QString pubDer = dir.filePath(QStringLiteral("public.der"));
        QVERIFY(writeAll(privDer, privImage.left(derLength(privImage))));
        QVERIFY(writeAll(pubDer, pubImage.left(derLength(pubImage))));

        const QByteArray msg("[client_linux_x86]\nupdate=5d41402abc4b2a76b9719d911017c592\n");
        const QString msgPath = dir.filePath(QStringLiteral("manifest.ini"));
        const QString sigPath = dir.filePath(QStringLiteral("manifest.ini.sig"));
        QVERIFY(writeAll(msgPath, msg));

        const QStringList pss = {
            QStringLiteral("dgst"), QStringLiteral("-sha1"),
            QStringLiteral("-sigopt"), QStringLiteral("rsa_padding_mode:pss"),
            QStringLiteral("-sigopt"), QStringLiteral("rsa_pss_saltlen:8"),
            QStringLiteral("-sigopt"), QStringLiteral("rsa_mgf1_md:sha1"),
            QStringLiteral("-keyform"), QStringLiteral("DER"),
        };
        const auto run = [&](const QStringList& args, QByteArray* errors) {
            QProcess p;
            p.start(openssl, pss + args);
            if (!p.waitForFinished(30000)) {
                p.kill();
                p.waitForFinished(5000);
                return -1;
            }
            *errors = p.readAllStandardError();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        QByteArray errors;

        // OpenSSL signs, we verify.
        QCOMPARE(run({QStringLiteral("-sign"), privDer, QStringLiteral("-out"), sigPath, msgPath}, &errors), 0);
        const QByteArray theirs = readAll(sigPath);
        QCOMPARE(theirs.size(), 128);
        QVERIFY(verify(publicKey, msg, theirs));
        QVERIFY(!verify(publicKey, msg + 'x', theirs));

        // We sign, OpenSSL verifies.
        QVERIFY(writeAll(sigPath, sign(privateKey, msg)));
        QCOMPARE(run({QStringLiteral("-verify"), pubDer, QStringLiteral("-signature"), sigPath, msgPath}, &errors), 0);
        QVERIFY(writeAll(msgPath, msg + 'x'));
        QCOMPARE(run({QStringLiteral("-verify"), pubDer, QStringLiteral("-signature"), sigPath, msgPath}, &errors), 1);
    }
};

QTEST_GUILESS_MAIN(TestTomCryptUtil)
#include "tst_tomcryptutil.moc"
