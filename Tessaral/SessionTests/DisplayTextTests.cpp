#include <gtest/gtest.h>

#include "DisplayText.hpp"

namespace tessaral {
namespace {

TEST(DisplayTextTest, ShowsServerTextSafely) {
    struct Case {
        QString text;
        int maximumLength;
        QString expected;
    };
    const QString a79(79, u'a');
    const Case cases[] = {
        {QStringLiteral("Studio"), 80, QStringLiteral("Studio")},
        {QStringLiteral("  Build\tserver\r\n\n  (lab)\u2028 "), 80,
         QStringLiteral("Build server (lab)")},
        {QStringLiteral("\x1b[31mred\x07"), 80, QStringLiteral("[31mred")},
        {QStringLiteral("invoice\u202Efdp.exe\u202C \u2066x\u2069\u200E\u061C"), 80,
         QStringLiteral("invoicefdp.exe x")},
        {QString(4096, u'x'), 80, QString(79, u'x') + u'…'},
        {QStringLiteral("abc def"), 5, QStringLiteral("abc…")},
        // An emoji or an accented letter at the cut goes whole or not at all.
        {QStringLiteral("ab😀cd"), 4, QStringLiteral("ab😀…")},
        {QStringLiteral("abe\u0301cd"), 4, QStringLiteral("abe\u0301…")},
        {QStringLiteral("a") + QChar(0xD800) + u'b', 80, QStringLiteral("ab")},
        {QStringLiteral("abc"), 0, QString()},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(displayText(test.text, test.maximumLength), test.expected)
            << test.text.left(40).toStdString();
    }
}

}  // namespace
}  // namespace tessaral
