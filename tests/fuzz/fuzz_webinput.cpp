// Feeds arbitrary bytes to the gateway's reading of request heads, whole and cut short, and arbitrary text to its
// rules for what browsers send. The seeds are the request-size attacks: bodies, chunks, endless lines and heads.
#include "FuzzCheck.h"
#include "web/ChatRules.h"
#include "web/HttpRequest.h"

#include <QString>

#include <cstddef>
#include <cstdint>

using namespace kova::web;
using kova::fuzz::check;

namespace {

void checkHead(QByteArrayView bytes)
{
    const HeadParse whole = parseRequestHead(bytes);
    switch (whole.result) {
    case HeadParse::Result::Incomplete:
        check(bytes.size() < MaxRequestHead, "16 KiB without a complete head is refused");
        break;
    case HeadParse::Result::Complete:
        check(whole.length <= MaxRequestHead && whole.length <= bytes.size(), "a head within the bounds");
        check(bytes.first(whole.length).endsWith("\r\n\r\n"), "a head ends with a blank line");
        break;
    case HeadParse::Result::Refused:
        check(whole.status == 400 || whole.status == 413 || whole.status == 414 || whole.status == 431 ||
                  whole.status == 505,
              "a refusal of ours");
        check(!whole.reason.isEmpty(), "a refusal says why");
        break;
    }
    // What comes in later reads never changes what the first part said.
    for (const qsizetype cut : {bytes.size() / 2, bytes.size() - 1}) {
        if (cut <= 0)
            continue;
        const HeadParse part = parseRequestHead(bytes.first(cut));
        if (part.result == HeadParse::Result::Complete)
            check(whole.result == HeadParse::Result::Complete && whole.length == part.length, "a head stays complete");
        if (part.result == HeadParse::Result::Refused)
            check(whole.result == HeadParse::Result::Refused && whole.status == part.status, "a refusal stays");
    }
}

void checkRules(const QString& text)
{
    const QString passed = harmlessLine(text);
    check(passed == text || passed == text + u' ', "a line is passed on as it is or with a space");
    if (!sendRefusal(text).isEmpty() || text.startsWith(u"NAME:"))
        return;
    for (const QString& pattern : {QStringLiteral("NAME:"), QStringLiteral("RNAME:")}) {
        for (qsizetype cut = 1; cut < pattern.size(); ++cut)
            check(!(passed + pattern.mid(cut)).endsWith(pattern), "no pattern across a line's end");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    checkHead(bytes);
    checkRules(QString::fromUtf8(bytes));
    return 0;
}
