#include "TokenSigner.h"

#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

const QByteArray kSecret(32, 's');

// The last character of a 43-character Base64 signature carries 4 bits of the MAC and 2 unused
// bits; this gives the character whose unused bits differ.
QChar withOtherUnusedBits(QChar last) {
    static const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    const auto value = alphabet.indexOf(last);
    return alphabet.at(value ^ 1);
}

TEST(TokenSigner, AcceptsOnlyTheSpellingItSigned) {
    const TokenSigner signer(kSecret);
    const QString token = signer.sign(QJsonObject{{"sub", "ada"}, {"exp", qint64{4102444800}}});
    ASSERT_TRUE(signer.verify(token).has_value());
    EXPECT_EQ(signer.verify(token)->value("sub").toString(), "ada");

    const QString signature = token.section('.', 2);
    ASSERT_EQ(signature.size(), 43);
    const QString head = token.section('.', 0, 1);
    QString otherBits = signature;
    otherBits.back() = withOtherUnusedBits(signature.back());
    struct Case {
        const char* name;
        QString token;
    };
    const Case cases[] = {
        {"padding appended", token + "="},
        {"two padding characters", token + "=="},
        {"unused bits changed", head + "." + otherBits},
        {"signature of another secret",
         head + "." + TokenSigner(QByteArray(32, 'x')).sign(QJsonObject{{"sub", "ada"}}).section('.', 2)},
        {"empty signature", head + "."},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(signer.verify(c.token).has_value()) << c.name << ": " << c.token.toStdString();
    }
}

}  // namespace
