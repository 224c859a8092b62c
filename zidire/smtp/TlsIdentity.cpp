#include "TlsIdentity.h"

#include "fs/DurableFile.h"
#include "log/Log.h"

#include <QDir>
#include <QFile>

#include <memory>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace zidire {

namespace {

const QString keyFileName = QStringLiteral("smtp-tls-key.pem");
const QString certificateFileName = QStringLiteral("smtp-tls-certificate.pem");
constexpr long validDays = 3650;
constexpr long renewBeforeDays = 30;

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BigNumber = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

QString openSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unknown OpenSSL error");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

void check(int result, const char* what) {
    if (result <= 0)
        throw TlsIdentityError(
            QStringLiteral("couldn't %1: %2").arg(QLatin1String(what), openSslError()));
}

Bio memoryBio(const QByteArray& bytes) {
    return Bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
}

QByteArray bioContents(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

// Only a valid DNS name can go into a SAN; a host name with, say, an underscore stays in the CN.
bool isDnsName(const QString& name) {
    if (name.isEmpty() || name.size() > 253)
        return false;
    for (const QString& label : name.split(u'.')) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(u'-') || label.endsWith(u'-'))
            return false;
        for (const QChar c : label)
            if (!(c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-'))
                return false;
    }
    return true;
}

void addExtension(X509* certificate, int nid, const QString& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    const Extension extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.toUtf8().constData()));
    if (!extension)
        throw TlsIdentityError(QStringLiteral("couldn't make the certificate extension %1: %2")
                                   .arg(value, openSslError()));
    check(X509_add_ext(certificate, extension.get(), -1), "add a certificate extension");
}

struct PemPair {
    QByteArray key;
    QByteArray certificate;
};

PemPair generate(const QString& hostName) {
    const Key key(EVP_RSA_gen(2048));
    if (!key)
        throw TlsIdentityError(
            QStringLiteral("couldn't generate an RSA key: %1").arg(openSslError()));

    const Certificate certificate(X509_new());
    check(X509_set_version(certificate.get(), 2), "set the certificate version");
    const BigNumber serial(BN_new());
    check(BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), "make a serial number");
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) ? 1 : 0,
          "set the serial number");
    // Valid from an hour ago, so a copier whose clock is a little behind still accepts it.
    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) ? 1 : 0,
          "set the start of validity");
    check(X509_time_adj_ex(X509_getm_notAfter(certificate.get()), int(validDays), 0, nullptr) ? 1
                                                                                              : 0,
          "set the end of validity");
    check(X509_set_pubkey(certificate.get(), key.get()), "set the public key");

    X509_NAME* name = X509_get_subject_name(certificate.get());
    const QByteArray commonName = hostName.left(64).toUtf8();
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.constData()),
                                     int(commonName.size()), -1, 0),
          "set the common name");
    check(X509_set_issuer_name(certificate.get(), name), "set the issuer");

    QStringList alternativeNames{QStringLiteral("DNS:localhost"), QStringLiteral("IP:127.0.0.1")};
    if (isDnsName(hostName) && hostName != QLatin1String("localhost"))
        alternativeNames.prepend(QStringLiteral("DNS:") + hostName);
    addExtension(certificate.get(), NID_basic_constraints, QStringLiteral("critical,CA:FALSE"));
    addExtension(certificate.get(), NID_key_usage,
                 QStringLiteral("critical,digitalSignature,keyEncipherment"));
    addExtension(certificate.get(), NID_ext_key_usage, QStringLiteral("serverAuth"));
    addExtension(certificate.get(), NID_subject_key_identifier, QStringLiteral("hash"));
    addExtension(certificate.get(), NID_subject_alt_name, alternativeNames.join(u','));
    check(X509_sign(certificate.get(), key.get(), EVP_sha256()), "sign the certificate");

    const Bio keyBio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
          "encode the key");
    const Bio certificateBio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(certificateBio.get(), certificate.get()), "encode the certificate");
    return {bioContents(keyBio.get()), bioContents(certificateBio.get())};
}

// Why the stored pair can't be used, or an empty text when it can.
QString problemWith(const PemPair& pair) {
    const Bio keyBio = memoryBio(pair.key);
    const Key key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    const Bio certificateBio = memoryBio(pair.certificate);
    const Certificate certificate(
        PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        return QStringLiteral("the key is not a readable RSA key");
    if (!certificate)
        return QStringLiteral("the certificate is not readable");
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        return QStringLiteral("the key does not belong to the certificate");
    }
    time_t renewal = time(nullptr) + renewBeforeDays * 24 * 3600;
    if (X509_cmp_time(X509_get0_notAfter(certificate.get()), &renewal) <= 0)
        return QStringLiteral("the certificate expires within %1 days").arg(renewBeforeDays);
    return {};
}

TlsIdentity toQt(const PemPair& pair) {
    TlsIdentity identity{QSslCertificate(pair.certificate, QSsl::Pem),
                         QSslKey(pair.key, QSsl::Rsa, QSsl::Pem)};
    if (identity.certificate.isNull() || identity.privateKey.isNull())
        throw TlsIdentityError(QStringLiteral("Qt's TLS backend can't load the certificate"));
    return identity;
}

} // namespace

TlsIdentity loadOrCreateTlsIdentity(const QString& directory, const QString& hostName, Log& log) {
    const QString keyPath = directory + u'/' + keyFileName;
    const QString certificatePath = directory + u'/' + certificateFileName;
    QFile keyFile(keyPath);
    QFile certificateFile(certificatePath);
    if (keyFile.exists() || certificateFile.exists()) {
        PemPair stored;
        if (keyFile.open(QIODevice::ReadOnly))
            stored.key = keyFile.readAll();
        if (certificateFile.open(QIODevice::ReadOnly))
            stored.certificate = certificateFile.readAll();
        const QString problem = problemWith(stored);
        if (problem.isEmpty())
            return toQt(stored);
        log.warning(QStringLiteral("the SMTP TLS certificate in %1 can't be used (%2); making a "
                                   "new one")
                        .arg(directory, problem));
    }

    if (!QDir().mkpath(directory))
        throw TlsIdentityError(QStringLiteral("couldn't create the directory %1").arg(directory));
    const PemPair fresh = generate(hostName);
    try {
        // The key first: a crash between the two writes leaves a mismatched pair, which the next
        // start replaces, never a certificate whose key is missing from disk.
        writeFileDurably(keyPath, fresh.key, 0600);
        writeFileDurably(certificatePath, fresh.certificate, 0644);
    } catch (const DurableFileError& error) {
        throw TlsIdentityError(error.message());
    }
    TlsIdentity identity = toQt(fresh);
    log.info(QStringLiteral("made a self-signed SMTP TLS certificate for %1, valid until %2")
                 .arg(hostName, identity.certificate.expiryDate().toString(Qt::ISODate)));
    return identity;
}

} // namespace zidire
