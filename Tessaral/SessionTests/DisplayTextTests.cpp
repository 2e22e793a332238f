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
    const Case cases[] = {
        {"Studio", 80, "Studio"},
        {"  Build\tserver\r\n\n  (lab)\u2028 ", 80, "Build server (lab)"},
        {"\x1b[31mred\x07", 80, "[31mred"},
        {"invoice\u202Efdp.exe\u202C \u2066x\u2069\u200E\u061C", 80, "invoicefdp.exe x"},
        {QString(4096, u'x'), 80, QString(79, u'x') + u'…'},
        {"abc def", 5, "abc…"},
        // An emoji or an accented letter at the cut goes whole or not at all.
        {"ab😀cd", 4, "ab😀…"},
        {"abe\u0301cd", 4, "abe\u0301…"},
        {QString("a") + QChar(0xD800) + u'b', 80, "ab"},
        {"abc", 0, ""},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(displayText(test.text, test.maximumLength), test.expected)
            << test.text.left(40).toStdString();
    }
}

}  // namespace
}  // namespace tessaral
