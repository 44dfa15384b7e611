#include "DevTools.h"
#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "TestCertificate.h"
#include "WebGatewayProcess.h"
#include "WriteFile.h"
#include "io/Cp932.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

namespace {

// What the page's log shows: for each speaker's group, the name and then its lines.
const QString LogShown = uR"(JSON.stringify([...document.querySelectorAll('#log > *')].map(e =>
    e.classList.contains('group')
        ? [e.querySelector('.name') ? e.querySelector('.name').textContent : null,
           ...[...e.querySelectorAll('.text')].map(p => p.textContent)]
        : e.textContent)))"_s;
const QString MembersShown = u"[...document.querySelectorAll('#members li')].map(li => li.textContent).join(',')"_s;

} // namespace

// The chat page in a real headless Chromium, driven over its DevTools protocol as a person would use it with
// the keyboard, against the gateway and the real chat server, all in a network namespace of its own.
class TestWebPage : public QObject {
    Q_OBJECT

    std::unique_ptr<KovaProcess> m_kova;
    WebGatewayProcess m_web;
    HeadlessChromium m_chromium;
    DevTools m_page;
    std::unique_ptr<QTcpSocket> m_raw;
    // The same chat over HTTPS, by a name that is not this machine's (the browser maps it to 127.0.0.1): a secure
    // context because of TLS alone.
    QTemporaryDir m_certificates;
    std::unique_ptr<WebGatewayProcess> m_tlsWeb;
    DevTools m_secure;

    bool key(const QString& name, int code, const QString& text = {})
    {
        QJsonObject event{
            {u"type"_s, u"keyDown"_s}, {u"key"_s, name}, {u"code"_s, name}, {u"windowsVirtualKeyCode"_s, code}};
        if (!text.isEmpty())
            event.insert(u"text"_s, text);
        m_page.call(u"Input.dispatchKeyEvent"_s, event);
        event.insert(u"type"_s, u"keyUp"_s);
        event.remove(u"text"_s);
        m_page.call(u"Input.dispatchKeyEvent"_s, event);
        return m_page.lastError.isEmpty();
    }
    bool type(const QString& text)
    {
        m_page.call(u"Input.insertText"_s, {{u"text"_s, text}});
        return m_page.lastError.isEmpty();
    }
    bool enter() { return key(u"Enter"_s, 13, u"\r"_s); }
    QString shown(const QString& expression) { return m_page.evaluate(expression).toString(); }
    QString status() { return shown(u"document.getElementById('status').textContent"_s); }
    // A client's line, and the page showing it.
    bool say(const QString& text)
    {
        m_raw->write(cp932::encode(text));
        return m_page.waitUntil(uR"([...document.querySelectorAll('#log .text')].pop()?.textContent === ')"_s +
                                text.split(u"生 > "_s).last() + u"'"_s);
    }
    bool checksPass(const QString& file)
    {
        const QJsonObject summary = m_page.runChecks(file);
        qInfo("%s: %d checks, %d runs", qPrintable(file), summary.value(u"checks"_s).toInt(),
              summary.value(u"runs"_s).toInt());
        if (!summary.contains(u"failures"_s) || !summary.value(u"failures"_s).toArray().isEmpty()) {
            qWarning("%s%s", qPrintable(m_page.lastError),
                     QJsonDocument(summary.value(u"failures"_s).toArray()).toJson().constData());
            return false;
        }
        return true;
    }
    // Hides the page, as another tab in front would, or shows it again. Headless Chromium keeps every page shown,
    // so the page's document is told so, with the event that a browser sends.
    bool setHidden(bool hidden) { return setHidden(m_page, hidden); }
    static bool setHidden(DevTools& page, bool hidden)
    {
        page.evaluate(hidden ? u"for (const [name, value] of [['visibilityState', 'hidden'], ['hidden', true]])"
                               " Object.defineProperty(document, name, { configurable: true, get: () => value });"
                               " document.dispatchEvent(new Event('visibilitychange'))"_s
                             : u"delete document.visibilityState; delete document.hidden;"
                               " document.dispatchEvent(new Event('visibilitychange'))"_s);
        return page.lastError.isEmpty() &&
               page.evaluate(u"document.visibilityState"_s).toString() == (hidden ? u"hidden"_s : u"visible"_s);
    }
    // Waits for the page to be back in the room after losing it.
    bool inRoom(int timeoutMs = 10000) { return inRoom(m_page, timeoutMs); }
    static bool inRoom(DevTools& page, int timeoutMs = 10000)
    {
        return page.waitUntil(u"document.getElementById('status').textContent.startsWith('「')"_s, timeoutMs);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_kova = std::make_unique<KovaProcess>();
        QVERIFY(m_kova->startListening());
        QVERIFY(m_web.start());
        // The browser trusts the HTTPS gateway's certificate, as a phone told to trust it would.
        const auto certificate = makeCertificate(m_certificates.path(), u"page"_s);
        QVERIFY(certificate);
        m_tlsWeb = std::make_unique<WebGatewayProcess>(QStringList{u"--listen"_s, u"127.0.0.1:8443"_s, u"--tls-cert"_s,
                                                                   certificate->certificate, u"--tls-key"_s,
                                                                   certificate->key});
        const QSslKey key = QSslCertificate::fromPath(certificate->certificate).value(0).publicKey();
        const QByteArray keyHash = QCryptographicHash::hash(key.toDer(), QCryptographicHash::Sha256).toBase64();
        QString error;
        QVERIFY2(m_chromium.start(&error, {u"--ignore-certificate-errors-spki-list="_s + QString::fromLatin1(keyHash)}),
                 qPrintable(error));
        QVERIFY(m_page.open(m_chromium.devToolsUrl()));
        QVERIFY2(m_page.attachNewPage(), qPrintable(m_page.lastError));
        m_page.call(u"Page.enable"_s);
        m_page.call(u"Runtime.enable"_s);
        m_page.call(u"Network.enable"_s);
        // The page has the focus, as a window in front would; away is tried by putting another tab in front.
        m_page.call(u"Emulation.setFocusEmulationEnabled"_s, {{u"enabled"_s, true}});
    }

    void cleanupTestCase()
    {
        m_chromium.stop();
        if (m_tlsWeb)
            m_tlsWeb->terminate();
        m_web.terminate();
        if (m_kova)
            m_kova->terminate();
    }

    void joinsFromItsAddressAndShowsAClientsLine()
    {
        m_raw = m_kova->connectClient();
        QVERIFY(m_raw);
        m_raw->write(cp932::encode(u"NAME:生"_s));
        QVERIFY(!readUntil(*m_raw, cp932::encode(u"生+"_s)).isEmpty());

        m_page.call(u"Page.navigate"_s, {{u"url"_s, u"http://127.0.0.1:8557/?name=Web"_s}});
        QVERIFY2(m_page.waitUntil(MembersShown + u" === 'サーバ,生,Web'"_s), qPrintable(shown(MembersShown)));
        QCOMPARE(shown(u"document.getElementById('status').textContent"_s), u"「Web」で入室しています。"_s);
        const QByteArray roster = cp932::encode(u"NAME:0:サーバ+NAME:1:生+NAME:2:Web+"_s);
        QCOMPARE(readUntil(*m_raw, roster).right(roster.size()), roster);

        m_raw->write(cp932::encode(u"こんにちは、ブラウザの方"_s));
        QVERIFY2(m_page.waitUntil(LogShown + uR"( === '[["生","こんにちは、ブラウザの方"]]')"_s),
                 qPrintable(shown(LogShown)));
        QVERIFY(m_web.output().contains(u"browser 127.0.0.1:"_s));

        // Every file the page loads is there, its icon included.
        QVERIFY(m_page.waitUntil(
            u"fetch('/favicon.ico').then(r => r.ok && r.headers.get('Content-Type') === 'image/x-icon')"_s));
        QStringList loaded;
        for (const QJsonObject& event : m_page.events(u"Network.responseReceived"_s)) {
            const QJsonObject response = event.value(u"response"_s).toObject();
            loaded << u"%1 %2"_s.arg(response.value(u"status"_s).toInt()).arg(response.value(u"url"_s).toString());
        }
        QVERIFY2(loaded.filter(u"/icon.png"_s).size() == 1 && loaded.filter(u"/log.js"_s).size() == 1,
                 qPrintable(loaded.join(u'\n')));
        QVERIFY2(loaded.filter(u"200 "_s).size() == loaded.size(), qPrintable(loaded.join(u'\n')));
    }

    void typedLineReachesTheClientInCodePage932()
    {
        // The input box has the focus after joining; Enter sends, as from a keyboard alone.
        QVERIFY(m_page.waitUntil(u"document.activeElement.id === 'line'"_s));
        QVERIFY(type(u"日本語で失礼します"_s));
        QVERIFY(enter());
        const QByteArray line = cp932::encode(u"Web > 日本語で失礼します"_s);
        QCOMPARE(readUntil(*m_raw, line).right(line.size()), line);
        QVERIFY(m_page.waitUntil(uR"(document.getElementById('line').value === '')"_s));
        QVERIFY2(m_page.waitUntil(LogShown + uR"(.endsWith('["Web","日本語で失礼します"]]'))"_s),
                 qPrintable(shown(LogShown)));
    }

    void receivedMarkupStaysText()
    {
        m_raw->write("<img src=x onerror=alert(1)>");
        QVERIFY2(m_page.waitUntil(LogShown + uR"(.endsWith('["生","<img src=x onerror=alert(1)>"]]'))"_s),
                 qPrintable(shown(LogShown)));
        QCOMPARE(m_page.evaluate(u"document.querySelectorAll('img').length"_s).toInt(), 0);
        QVERIFY(!m_page.sawEvent(u"Page.javascriptDialogOpening"_s));
        // Even markup put into the page as HTML could run nothing: the gateway's policy forbids inline script. The
        // image's error event and the browser's reports of the two scripts it refused show that the markup was handled.
        const QJsonValue handled = m_page.evaluate(uR"(new Promise(resolve => {
            const refused = [];
            let errorSeen = false;
            const settle = () => {
                if (errorSeen && refused.filter(directive => directive.startsWith('script-src')).length >= 2)
                    resolve({ refused, ran: typeof window.ran });
            };
            document.addEventListener('securitypolicyviolation', e => { refused.push(e.effectiveDirective); settle(); });
            document.body.insertAdjacentHTML('beforeend',
                '<img id=probe src=x onerror="window.ran = 1"><a id=link href="javascript:window.ran=2">x</a>');
            document.getElementById('probe').addEventListener('error', () => { errorSeen = true; settle(); });
            document.getElementById('link').click();
            setTimeout(() => resolve({ timedOut: true, errorSeen, refused }), 5000);
        }))"_s);
        QVERIFY2(handled.toObject().value(u"ran"_s) == u"undefined"_s,
                 QJsonDocument(handled.toObject()).toJson(QJsonDocument::Compact).constData());
        m_page.evaluate(u"document.getElementById('probe').remove(); document.getElementById('link').remove()"_s);
    }

    void streamParserGivesTheSameForEveryCut()
    {
        QVERIFY(checksPass(u"stream_checks.js"_s));
        QVERIFY(m_page.runChecks(u"stream_checks.js"_s).value(u"runs"_s).toInt() > 10000);
    }

    void logViewChecks() { QVERIFY(checksPass(u"log_checks.js"_s)); }

    void notificationRuleChecks() { QVERIFY(checksPass(u"notify_checks.js"_s)); }

    void floodIsTrimmedByLines()
    {
        QString flood = u"洪水 0"_s;
        for (int i = 1; i < 520; ++i)
            flood += u"生 > 洪水 %1"_s.arg(i);
        QVERIFY(say(flood));
        QCOMPARE(m_page.evaluate(u"document.querySelectorAll('#log .text').length"_s).toInt(), 500);
        QCOMPARE(shown(u"document.querySelector('#log .text').textContent"_s), u"洪水 20"_s);
    }

    void timesShowWhenMinutesAndDaysPassAndEachLineIsReadOnce()
    {
        // The page's clock, moved on by the test.
        m_page.evaluate(u"window.RealDate = Date; window.clockShift = 0; window.Date = class extends RealDate {"
                        " constructor(...a) { if (a.length) super(...a); else super(RealDate.now() + clockShift); }"
                        " static now() { return RealDate.now() + clockShift; } }"_s);
        const QString lastHeads = u"[...document.querySelectorAll('#log > *')].slice(-4).map(e =>"
                                  " e.classList.contains('group') ? e.querySelector('.time').textContent + ' '"
                                  " + [...e.querySelectorAll('.text')].map(p => p.textContent) : e.className)"
                                  ".join(' | ')"_s;
        QVERIFY(say(u"時刻A"_s));
        m_page.evaluate(u"window.clockShift += 3 * 60 * 1000"_s);
        QVERIFY(say(u"時刻B"_s));
        m_page.evaluate(u"window.clockShift += 24 * 60 * 60 * 1000"_s);
        QVERIFY(say(u"時刻C"_s));
        // The first may share the flood's heading; the second has one of its own, the third a new day.
        const QStringList heads = shown(lastHeads).split(u" | "_s);
        QVERIFY2(heads.size() == 4 && heads[0].endsWith(u"時刻A"_s) && heads[1].endsWith(u" 時刻B"_s) &&
                     heads[2] == u"mark day"_s && heads[3].endsWith(u" 時刻C"_s) &&
                     heads[0].left(5) != heads[1].left(5),
                 qPrintable(heads.join(u" | "_s).right(200)));
        m_page.evaluate(u"window.Date = window.RealDate"_s);

        // The log itself is not live; each line is read out once, whole.
        QCOMPARE(shown(u"document.getElementById('log').getAttribute('aria-live')"_s), u"off"_s);
        const QString announced =
            u"[...document.querySelectorAll('#announcer p')].slice(-3).map(p => p.textContent).join('/')"_s;
        QVERIFY2(m_page.waitUntil(announced + u" === '生: 時刻A/生: 時刻B/生: 時刻C'"_s), qPrintable(shown(announced)));
    }

    void countsLinesWhileAwayAndMarksWhereTheyStart()
    {
        QCOMPARE(shown(u"document.title"_s), u"KOVA チャット"_s);
        QVERIFY2(setHidden(true), qPrintable(m_page.lastError));
        m_raw->write(cp932::encode(
            u"留守中です生 > Webさん、これ見て https://example.org/見て? javascript:alert(1) <b>x</b>"_s));
        QVERIFY2(m_page.waitUntil(u"document.title === '(2・@1) KOVA チャット'"_s),
                 qPrintable(shown(u"document.title"_s)));
        QVERIFY(shown(u"document.getElementById('icon').href"_s).endsWith(u"/icon-mention.png"_s));
        QVERIFY(m_page.evaluate(u"fetch(document.getElementById('icon').href).then(r => r.ok)"_s).toBool());

        QVERIFY(setHidden(false));
        QVERIFY(m_page.waitUntil(u"document.title === 'KOVA チャット'"_s));
        QVERIFY(shown(u"document.getElementById('icon').href"_s).endsWith(u"/icon.png"_s));
        QCOMPARE(shown(u"document.querySelector('.unread-marker').textContent"_s), u"ここから新しい発言"_s);
        QCOMPARE(
            shown(u"document.querySelector('.unread-marker').nextElementSibling.querySelector('.text').textContent"_s),
            u"留守中です"_s);
        // The line naming the reader stands out; its URL is a link, the rest text.
        const QString last = u"[...document.querySelectorAll('#log .text')].pop()"_s;
        QVERIFY(m_page.evaluate(last + u".classList.contains('mention')"_s).toBool());
        QCOMPARE(
            shown(
                u"[...%1.querySelectorAll('*')].map(a => [a.tagName, a.href, a.rel, a.target].join(' ')).join()"_s.arg(
                    last)),
            u"A https://example.org/%E8%A6%8B%E3%81%A6 noopener noreferrer _blank"_s);

        // Scrolled up to read, new lines wait below.
        m_page.evaluate(u"document.getElementById('log').scrollTop = 0"_s);
        QVERIFY(say(u"下に来ます"_s));
        QVERIFY(say(u"もう一つ"_s));
        const QString waiting = u"[document.getElementById('more').hidden, document.getElementById('more-count')"
                                ".textContent, document.getElementById('log').scrollTop].join(' ')"_s;
        QVERIFY2(m_page.waitUntil(waiting + u" === 'false 2 0'"_s), qPrintable(shown(waiting)));
        m_page.evaluate(u"document.getElementById('more').click()"_s);
        QVERIFY2(m_page.waitUntil(waiting + u".startsWith('true 0 ') && "_s + waiting + u" !== 'true 0 0'"_s),
                 qPrintable(shown(waiting)));
    }

    void recallsSentLinesAndCompletesNames()
    {
        m_page.evaluate(u"document.getElementById('line').focus()"_s);
        QVERIFY(type(u"思い出す行"_s));
        QVERIFY(enter());
        QVERIFY(m_page.waitUntil(u"document.getElementById('line').value === ''"_s));
        QVERIFY(key(u"ArrowUp"_s, 38));
        QCOMPARE(shown(u"document.getElementById('line').value"_s), u"思い出す行"_s);
        QVERIFY(key(u"ArrowUp"_s, 38));
        QCOMPARE(shown(u"document.getElementById('line').value"_s), u"日本語で失礼します"_s);
        QVERIFY(key(u"ArrowDown"_s, 40));
        QVERIFY(key(u"ArrowDown"_s, 40));
        QCOMPARE(shown(u"document.getElementById('line').value"_s), QString());
        QVERIFY(type(u"サ"_s));
        QVERIFY(key(u"Tab"_s, 9));
        QCOMPARE(shown(u"document.getElementById('line').value"_s), u"サーバさん "_s);
        QCOMPARE(shown(u"document.activeElement.id"_s), u"line"_s);
        m_page.evaluate(u"document.getElementById('line').value = ''"_s);
    }

    void followsTheDarkColourScheme()
    {
        const QString ground = u"getComputedStyle(document.getElementById('log')).backgroundColor"_s;
        const QString light = shown(ground);
        m_page.call(u"Emulation.setEmulatedMedia"_s,
                    {{u"features"_s,
                      QJsonArray{QJsonObject{{u"name"_s, u"prefers-color-scheme"_s}, {u"value"_s, u"dark"_s}}}}});
        QCOMPARE(shown(ground), u"rgb(29, 33, 39)"_s);
        m_page.call(u"Emulation.setEmulatedMedia"_s,
                    {{u"features"_s,
                      QJsonArray{QJsonObject{{u"name"_s, u"prefers-color-scheme"_s}, {u"value"_s, u"light"_s}}}}});
        QCOMPARE(shown(ground), u"rgb(255, 255, 255)"_s);
        QCOMPARE(light, u"rgb(255, 255, 255)"_s);
    }

    void reflowsOnAPhoneScreen()
    {
        m_page.call(u"Emulation.setDeviceMetricsOverride"_s,
                    {{u"width"_s, 360}, {u"height"_s, 740}, {u"deviceScaleFactor"_s, 2}, {u"mobile"_s, true}});
        // One column: the participants above the chat, nothing wider than the screen.
        QVERIFY2(m_page.waitUntil(
                     uR"(getComputedStyle(document.getElementById('room')).gridTemplateColumns.split(' ').length === 1
            && document.getElementById('members').getBoundingClientRect().bottom
               <= document.getElementById('log').getBoundingClientRect().top
            && document.documentElement.scrollWidth <= 360
            && document.getElementById('line').getBoundingClientRect().right <= 360)"_s),
                 qPrintable(shown(u"getComputedStyle(document.getElementById('room')).gridTemplateColumns"_s)));
        m_page.call(u"Emulation.clearDeviceMetricsOverride"_s);
        QVERIFY(m_page.waitUntil(
            u"getComputedStyle(document.getElementById('room')).gridTemplateColumns.split(' ').length === 2"_s));
    }

    void leavesAndJoinsAgainByKeyboard()
    {
        m_page.evaluate(u"document.getElementById('line').focus()"_s);
        // From the input box: the send button, the rename button, the leave button.
        for (int i = 0; i < 3; ++i)
            QVERIFY(key(u"Tab"_s, 9));
        QCOMPARE(shown(u"document.activeElement.id"_s), u"leave"_s);
        QVERIFY(enter());
        QVERIFY(readUntil(*m_raw, "RNAME:2:").endsWith("RNAME:2:"));
        QVERIFY(
            m_page.waitUntil(u"!document.getElementById('join').hidden && document.activeElement.id === 'nickname'"_s));
        QCOMPARE(shown(u"location.search"_s), QString());

        // A nickname that every client would misread is not offered to the server.
        m_page.evaluate(u"document.getElementById('nickname').select()"_s);
        QVERIFY(type(u"a+b"_s));
        QVERIFY(enter());
        QVERIFY(m_page.waitUntil(u"document.getElementById('join-error').textContent.includes('「+」')"_s));
        QVERIFY(!m_page.evaluate(u"document.getElementById('join').hidden"_s).toBool());

        m_page.evaluate(u"document.getElementById('nickname').select()"_s);
        QVERIFY(type(u"ウェブ"_s));
        QVERIFY(enter());
        const QByteArray roster = cp932::encode(u"NAME:0:サーバ+NAME:1:生+NAME:2:ウェブ+"_s);
        QCOMPARE(readUntil(*m_raw, roster).right(roster.size()), roster);
        QVERIFY(m_page.waitUntil(MembersShown + u" === 'サーバ,生,ウェブ'"_s));
        QCOMPARE(shown(u"decodeURIComponent(location.search)"_s), u"?name=ウェブ"_s);
    }

    void renamesByKeyboard()
    {
        QVERIFY(m_page.waitUntil(u"document.activeElement.id === 'line'"_s));
        for (int i = 0; i < 2; ++i)
            QVERIFY(key(u"Tab"_s, 9));
        QCOMPARE(shown(u"document.activeElement.id"_s), u"rename"_s);
        QVERIFY(enter());
        QVERIFY(m_page.waitUntil(u"document.activeElement.id === 'new-name'"_s));
        QVERIFY(type(u"ウェブ二号"_s)); // replaces the selected old name
        QVERIFY(enter());
        const QByteArray roster = cp932::encode(u"NAME:0:サーバ+NAME:1:生+NAME:2:ウェブ二号+"_s);
        QCOMPARE(readUntil(*m_raw, roster).right(roster.size()), roster);
        QVERIFY(m_page.waitUntil(MembersShown + u" === 'サーバ,生,ウェブ二号'"_s));
        QVERIFY(m_page.waitUntil(
            u"document.getElementById('rename-form').hidden && document.activeElement.id === 'line'"_s));
        // A new name is not a newcomer.
        QVERIFY2(m_page.waitUntil(LogShown + uR"(.endsWith('"ウェブさんがウェブ二号に名前を変えました"]'))"_s),
                 qPrintable(shown(LogShown)));
    }

    void waitsOfflineAndComesBackAtOnce()
    {
        // While the gateway is away: nothing claims to be in the room, renaming waits, typed lines stay.
        m_web.terminate();
        QVERIFY(m_page.waitUntil(
            u"document.getElementById('status').textContent.startsWith('ゲートウェイが停止しました。')"_s));
        QVERIFY(m_page.evaluate(u"document.getElementById('rename').disabled"_s).toBool());
        m_page.evaluate(u"document.getElementById('line').focus()"_s);
        QVERIFY(type(u"届かない行"_s));
        QVERIFY(enter());
        QVERIFY(m_page.waitUntil(u"document.getElementById('say-error').textContent.includes('送れませんでした')"_s));
        QCOMPARE(shown(u"document.getElementById('line').value"_s), u"届かない行"_s);
        QVERIFY(!m_page.evaluate(u"document.getElementById('line').disabled"_s).toBool());
        QCOMPARE(shown(u"document.activeElement.id"_s), u"line"_s);

        // Back on the network: at once, not when the back-off would have tried.
        QVERIFY2(m_page.waitUntil(u"document.getElementById('status').textContent.includes('4秒後')"_s),
                 qPrintable(status()));
        QVERIFY(m_web.start());
        // Headless Chromium's emulated network does not tell the page that it is back; a browser would.
        m_page.evaluate(u"window.dispatchEvent(new Event('online'))"_s);
        QVERIFY2(inRoom(1500), qPrintable(status()));
        QVERIFY(!m_page.evaluate(u"document.getElementById('rename').disabled"_s).toBool());
        QVERIFY(enter());
        QVERIFY(readUntil(*m_raw, cp932::encode(u"届かない行"_s)).endsWith(cp932::encode(u"届かない行"_s)));

        // Shown again after being hidden: the same.
        QVERIFY(setHidden(true));
        m_web.terminate();
        QVERIFY2(m_page.waitUntil(u"document.getElementById('status').textContent.includes('4秒後')"_s),
                 qPrintable(status()));
        QVERIFY(m_web.start());
        QVERIFY(setHidden(false));
        QVERIFY2(inRoom(1500), qPrintable(status()));
    }

    void keepsTheConversationOverAReload()
    {
        const QString lastLines =
            u"[...document.querySelectorAll('#log .text')].slice(-30).map(p => p.textContent).join('/')"_s;
        const QString before = shown(lastLines);
        QVERIFY(!m_page.evaluate(u"document.getElementById('sound').checked"_s).toBool());
        m_page.evaluate(u"document.getElementById('sound').click()"_s);
        m_page.call(u"Page.reload"_s);
        QVERIFY(inRoom());
        // The sound stays switched on; joined from the address, without a click, the page asks for one.
        QVERIFY(m_page
                    .evaluate(u"document.getElementById('sound').checked && localStorage.getItem('kova.sound') === 'on'"
                              " && !document.getElementById('sound-hint').hidden"_s)
                    .toBool());
        QVERIFY(key(u"Shift"_s, 16));
        QVERIFY(m_page.waitUntil(u"document.getElementById('sound-hint').hidden"_s));
        // What was there, then where lines may be missing.
        QCOMPARE(shown(lastLines), before);
        QVERIFY(m_page.waitUntil(
            u"[...document.querySelectorAll('#log > *')].pop().textContent.startsWith('接続が切れていました ')"_s));
        QCOMPARE(m_page.evaluate(u"document.querySelectorAll('#announcer p').length"_s).toInt(), 0);
    }

    // A nickname "E:1:" and a line ending in "RNAM" would put "RNAME:1:" into the stream, and every page would
    // show 生 (slot 1) leaving. A second page refuses the nickname in words; a script on it that sends the
    // sequence all the same is closed by the gateway, and the first page still shows 生.
    void aForgedLeaveReachesNoPage()
    {
        DevTools second;
        QVERIFY(second.open(m_chromium.devToolsUrl()));
        QVERIFY2(second.attachNewPage(), qPrintable(second.lastError));
        second.call(u"Runtime.enable"_s);
        second.call(u"Page.navigate"_s, {{u"url"_s, u"http://127.0.0.1:8557/?name=E:1:"_s}});
        QVERIFY(second.waitUntil(
            u"document.getElementById('join-error').textContent === 'ニックネームに「:」「+」「 > 」は使えません。'"_s));
        const QJsonValue closed = second.evaluate(uR"(new Promise(resolve => {
            const socket = new WebSocket('ws://127.0.0.1:8557/chat');
            const send = text => socket.send(JSON.stringify({ type: 'send', text }));
            socket.onmessage = event => {
                if (JSON.parse(event.data).type === 'connected')
                    ['NAME:E:1:', 'hi all RNAM', 'how are you'].forEach(send);
            };
            socket.onclose = event => resolve(`${event.code} ${event.reason}`);
        }))"_s);
        QCOMPARE(closed.toString(), u"1008 a nickname with \":\", \"+\" or \" > \" (one registration per message)"_s);

        m_raw->write(cp932::encode(u"まだいます"_s));
        QVERIFY2(m_page.waitUntil(LogShown + uR"(.endsWith('["生","まだいます"]]'))"_s), qPrintable(shown(LogShown)));
        QCOMPARE(shown(MembersShown), u"サーバ,生,ウェブ二号"_s);
        QVERIFY(!shown(LogShown).contains(u"帰りました"_s));
    }

    void reconnectsAndRegistersAgainAfterTheServerRestarts()
    {
        QCOMPARE(m_kova->terminate(), 0);
        QVERIFY2(
            m_page.waitUntil(
                u"document.getElementById('status').textContent.startsWith('チャットサーバとの接続が切れました。')"_s),
            qPrintable(shown(u"document.getElementById('status').textContent"_s)));
        QVERIFY(m_page.waitUntil(MembersShown + u" === ''"_s));

        m_kova = std::make_unique<KovaProcess>();
        QVERIFY(m_kova->startListening());
        m_raw = m_kova->connectClient();
        QVERIFY(m_raw);
        m_raw->write(cp932::encode(u"NAME:生"_s));
        // The page comes back by itself, under the nickname it had.
        QVERIFY(!readUntil(*m_raw, cp932::encode(u"ウェブ二号+"_s), 20000).isEmpty());
        QVERIFY(m_page.waitUntil(MembersShown + u".includes('ウェブ二号')"_s));
        QVERIFY(inRoom());

        // The same when the gateway itself goes away and comes back.
        m_web.terminate();
        QVERIFY(readUntil(*m_raw, "RNAME:2:").endsWith("RNAME:2:"));
        // It closed the page's connection as going away, and the page says that it stopped.
        QVERIFY2(m_page.waitUntil(LogShown + u".includes('ゲートウェイが停止しました。')"_s),
                 qPrintable(shown(LogShown)));
        QVERIFY(m_web.start());
        const QByteArray back = cp932::encode(u"NAME:0:サーバ+NAME:1:生+NAME:2:ウェブ二号+"_s);
        QCOMPARE(readUntil(*m_raw, back, 20000).right(back.size()), back);
    }

    void aLatecomerSeesEarlierLinesMarked()
    {
        QVERIFY(inRoom());
        QVERIFY(say(u"入室前に言ったこと"_s));
        DevTools late;
        QVERIFY(late.open(m_chromium.devToolsUrl()));
        QVERIFY(late.attachNewPage());
        late.call(u"Page.navigate"_s, {{u"url"_s, u"http://127.0.0.1:8557/?name=遅刻"_s}});
        QVERIFY(late.waitUntil(MembersShown + u".includes('遅刻')"_s));
        const QString shownLog = u"[...document.querySelectorAll('#log > *')].map(e => e.className + ':' +"
                                 " (e.querySelector('.text') || e).textContent).join('/')"_s;
        QVERIFY2(late.waitUntil(shownLog + u".startsWith('mark earlier-head:入室前の発言/mark earlier-start:"
                                           "これより前の発言はありません/group earlier:')"_s),
                 qPrintable(late.evaluate(shownLog).toString()));
        QVERIFY2(late.evaluate(shownLog).toString().contains(
                     u"group earlier:入室前に言ったこと/mark earlier-end:ここまで入室前の発言"_s),
                 qPrintable(late.evaluate(shownLog).toString()));
        // Earlier lines are the page's record, not lines that arrived while away.
        QCOMPARE(late.evaluate(u"document.title"_s).toString(), u"KOVA チャット"_s);

        // On a phone, away for a while.
        late.call(u"Emulation.setDeviceMetricsOverride"_s,
                  {{u"width"_s, 390}, {u"height"_s, 780}, {u"deviceScaleFactor"_s, 2}, {u"mobile"_s, true}});
        QVERIFY(setHidden(late, true));
        m_raw->write(cp932::encode(u"今日の資料はこちらです https://example.org/shiryou/2026-12.pdf"_s));
        QVERIFY(late.waitUntil(u"document.title === '(1) KOVA チャット'"_s));
        m_raw->write(cp932::encode(u"遅刻さん、打ち合わせは14時からでいいですか？"_s));
        QVERIFY(late.waitUntil(u"document.title === '(2・@1) KOVA チャット'"_s));
        QVERIFY(late.waitUntil(u"document.querySelector('#log .mention') !== null"_s));
        if (const QString path = qEnvironmentVariable("KOVA_WEB_SCREENSHOT"); !path.isEmpty()) {
            // Headless Chromium draws no tabs: the tab's icon and title are drawn above the page for the picture.
            late.evaluate(
                u"const tab = document.createElement('div');"
                " tab.style.cssText = 'display:flex;align-items:center;gap:8px;padding:8px 12px;"
                "background:#dee1e6;color:#202124;font:14px system-ui,sans-serif';"
                " const icon = document.createElement('img'); icon.src = document.getElementById('icon').href;"
                " icon.width = icon.height = 16; const title = document.createElement('span');"
                " title.textContent = document.title; tab.append(icon, title); document.body.prepend(tab);"
                " document.getElementById('log').scrollTop = 1e9"_s);
            QVERIFY(late.waitUntil(u"document.querySelector('body > div img').complete"_s));
            const QJsonObject shot = late.call(u"Page.captureScreenshot"_s, {{u"format"_s, u"png"_s}});
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray::fromBase64(shot.value(u"data"_s).toString().toLatin1()));
        }
    }

    // Over HTTPS the page can be installed: a manifest without errors, its worker in charge, nothing missing that
    // the browser wants for installing it; the worker keeps the page's own files and nothing else.
    void installsOverHttpsWithAManifestAndAServiceWorker()
    {
        QVERIFY(m_tlsWeb->start());
        QVERIFY(m_secure.open(m_chromium.devToolsUrl()));
        QVERIFY(m_secure.attachNewPage());
        m_secure.call(u"Page.enable"_s);
        m_secure.call(u"Emulation.setFocusEmulationEnabled"_s, {{u"enabled"_s, true}});
        m_secure.call(u"Page.navigate"_s, {{u"url"_s, u"https://kova.test:8443/?name=安全"_s}});
        QVERIFY2(inRoom(m_secure), qPrintable(m_secure.lastError));
        QCOMPARE(m_secure.evaluate(u"[location.protocol, window.isSecureContext].join()"_s).toString(),
                 u"https:,true"_s);

        const QJsonObject manifest = m_secure.call(u"Page.getAppManifest"_s);
        QVERIFY2(m_secure.lastError.isEmpty(), qPrintable(m_secure.lastError));
        QVERIFY2(manifest.value(u"url"_s).toString() == u"https://kova.test:8443/manifest.webmanifest"_s &&
                     manifest.value(u"errors"_s).toArray().isEmpty(),
                 QJsonDocument(manifest).toJson().constData());
        QCOMPARE(QJsonDocument::fromJson(manifest.value(u"data"_s).toString().toUtf8())[u"name"_s].toString(),
                 u"KOVA"_s);
        QVERIFY2(m_secure.waitUntil(u"navigator.serviceWorker.controller?.scriptURL.endsWith('/service-worker.js')"_s),
                 qPrintable(m_secure.lastError));
        const QJsonObject installable = m_secure.call(u"Page.getInstallabilityErrors"_s);
        QVERIFY2(m_secure.lastError.isEmpty() && installable.value(u"installabilityErrors"_s).toArray().isEmpty(),
                 QJsonDocument(installable).toJson().constData());

        QVERIFY(m_secure.evaluate(u"fetch('/healthz').then(r => r.ok)"_s).toBool());
        m_secure.call(u"Page.reload"_s);
        QVERIFY(inRoom(m_secure));
        QCOMPARE(m_secure
                     .evaluate(u"caches.open('kova-page').then(c => c.keys()).then(k =>"
                               " k.map(r => new URL(r.url).pathname).sort().join(' '))"_s)
                     .toString(),
                 u"/ /favicon.ico /heart-192.png /heart-512.png /icon-mention.png /icon-unread.png /icon.png "
                 "/kova.css /kova.js /log.js /manifest.webmanifest /notify.js /stream.js"_s);
        QCOMPARE(m_secure.evaluate(u"caches.keys().then(k => k.join())"_s).toString(), u"kova-page"_s);

        // Without the gateway the page still opens from what the worker kept, and waits for the chat.
        m_tlsWeb->terminate();
        m_secure.call(u"Page.reload"_s);
        QVERIFY2(m_secure.waitUntil(u"document.getElementById('status')?.textContent.includes('再接続します')"_s),
                 qPrintable(m_secure.evaluate(u"document.body.innerText"_s).toString()));
        QVERIFY(m_tlsWeb->start());
        QVERIFY(inRoom(m_secure, 20000));
    }

    // Switched on, with the browser's permission (granted here as a person would, once asked), a line that
    // arrives while the page is away shows as a notification; the others of the next 10 s share one.
    void notifiesWhileAwayWhenSwitchedOn()
    {
        QVERIFY(!m_secure.evaluate(u"document.getElementById('notify-switch').hidden"_s).toBool());
        QVERIFY(!m_secure.evaluate(u"document.getElementById('notify').checked"_s).toBool());
        m_secure.callBrowser(u"Browser.grantPermissions"_s, {{u"origin"_s, u"https://kova.test:8443"_s},
                                                             {u"permissions"_s, QJsonArray{u"notifications"_s}}});
        QVERIFY2(m_secure.lastError.isEmpty(), qPrintable(m_secure.lastError));
        m_secure.evaluate(u"document.getElementById('notify').click()"_s);
        QVERIFY(m_secure.waitUntil(u"localStorage.getItem('kova.notify') === 'on'"_s));
        QVERIFY(m_secure.evaluate(u"document.getElementById('notify').checked"_s).toBool());
        // Kept over a reload, without asking again.
        m_secure.call(u"Page.reload"_s);
        QVERIFY(inRoom(m_secure));
        QVERIFY(m_secure.evaluate(u"document.getElementById('notify').checked"_s).toBool());

        const QString shownNow =
            u"navigator.serviceWorker.ready.then(r => r.getNotifications()).then(list =>"
            " JSON.stringify(list.map(n => [n.title, n.body, n.tag]).sort((a, b) => a[2].localeCompare(b[2]))))"_s;
        const QString lastLine = u"[...document.querySelectorAll('#log .text')].pop()?.textContent"_s;
        auto say = [&](const QString& text) {
            m_raw->write(cp932::encode(text));
            return m_secure.waitUntil(lastLine + u" === '"_s + text + u"'"_s);
        };
        QVERIFY(say(u"まだ見ています"_s));
        QCOMPARE(m_secure.evaluate(shownNow).toString(), u"[]"_s);
        QVERIFY(setHidden(m_secure, true));
        m_raw->write(cp932::encode(u"<b>通知</b>です"_s));
        QVERIFY2(m_secure.waitUntil(shownNow + uR"(.then(s => s === '[["生","<b>通知</b>です","kova-lines"]]'))"_s),
                 qPrintable(m_secure.evaluate(shownNow).toString()));
        // A line naming the reader at once, beside it; one's own line never; the next plain line with the group.
        QVERIFY(say(u"安全さん、聞こえますか"_s));
        m_secure.evaluate(u"document.getElementById('line').value = 'はい';"
                          " document.getElementById('say').requestSubmit()"_s);
        QVERIFY(m_secure.waitUntil(lastLine + u" === 'はい'"_s));
        QVERIFY(say(u"三つ目"_s));
        QCOMPARE(m_secure.evaluate(shownNow).toString(),
                 uR"([["生","<b>通知</b>です","kova-lines"],["生","安全さん、聞こえますか","kova-mention-1"]])"_s);
        QVERIFY2(m_secure.waitUntil(
                     shownNow + uR"(.then(s => s.includes('["新しい発言 2件","生: 三つ目","kova-lines"]')))"_s, 15000),
                 qPrintable(m_secure.evaluate(shownNow).toString()));
        if (const QString path = qEnvironmentVariable("KOVA_WEB_NOTIFY_SCREENSHOT"); !path.isEmpty()) {
            // Headless Chromium draws no notifications: those the worker holds are drawn over a phone-sized page,
            // as a phone shows them, for the picture.
            m_secure.call(u"Emulation.setDeviceMetricsOverride"_s,
                          {{u"width"_s, 390}, {u"height"_s, 780}, {u"deviceScaleFactor"_s, 2}, {u"mobile"_s, true}});
            m_secure.evaluate(uR"(navigator.serviceWorker.ready.then(r => r.getNotifications()).then(list => {
                const shade = document.createElement('div');
                shade.id = 'shade';
                shade.style.cssText = 'position:fixed;inset:0 0 auto 0;display:grid;gap:6px;padding:8px;'
                    + 'background:rgba(0,0,0,.4);font:14px system-ui,sans-serif';
                for (const n of list) {
                    const card = document.createElement('div');
                    card.style.cssText = 'display:flex;gap:10px;align-items:center;padding:10px 12px;'
                        + 'border-radius:16px;background:#f4f4f6;color:#1c1f24';
                    const icon = document.createElement('img');
                    icon.src = n.icon;
                    icon.width = icon.height = 36;
                    const title = document.createElement('b');
                    title.textContent = `KOVA ・ ${n.title}`;
                    const body = document.createElement('div');
                    body.textContent = n.body;
                    const text = document.createElement('div');
                    text.append(title, body);
                    card.append(icon, text);
                    shade.append(card);
                }
                document.body.append(shade);
                return Promise.all([...shade.querySelectorAll('img')].map(i => i.decode()));
            }))"_s);
            const QJsonObject shot = m_secure.call(u"Page.captureScreenshot"_s, {{u"format"_s, u"png"_s}});
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray::fromBase64(shot.value(u"data"_s).toString().toLatin1()));
            m_secure.evaluate(u"document.getElementById('shade').remove()"_s);
            m_secure.call(u"Emulation.clearDeviceMetricsOverride"_s);
        }
        // Back at the page, they have been seen.
        QVERIFY(setHidden(m_secure, false));
        QVERIFY2(m_secure.waitUntil(shownNow + u".then(s => s === '[]')"_s),
                 qPrintable(m_secure.evaluate(shownNow).toString()));
    }

    // Another origin of the same gateway, whose reader switched notifications on before and has not allowed them
    // since: loading it asks nothing; the switch asks, and says so when refused.
    void asksForPermissionOnlyWhenSwitchedOn()
    {
        DevTools other;
        QVERIFY(other.open(m_chromium.devToolsUrl()));
        QVERIFY(other.attachNewPage());
        other.call(u"Page.enable"_s);
        other.call(u"Page.addScriptToEvaluateOnNewDocument"_s,
                   {{u"source"_s, u"window.asked = 0; Notification.requestPermission = async () => { ++window.asked;"
                                  " return 'denied'; };"_s}});
        other.call(u"Page.navigate"_s, {{u"url"_s, u"https://127.0.0.1:8443/"_s}});
        QVERIFY(other.waitUntil(u"document.readyState === 'complete'"_s));
        other.evaluate(u"localStorage.setItem('kova.notify', 'on')"_s);
        other.call(u"Page.reload"_s);
        QVERIFY(other.waitUntil(u"document.readyState === 'complete' && window.asked === 0"_s));
        const QString state =
            u"[window.asked, document.getElementById('notify').checked,"
            " localStorage.getItem('kova.notify'), document.getElementById('notify-note').textContent]"
            ".join(' ')"_s;
        QCOMPARE(other.evaluate(state).toString(), u"0 false on "_s);
        other.evaluate(u"document.getElementById('notify').click()"_s);
        QVERIFY2(other.waitUntil(u"window.asked === 1 && localStorage.getItem('kova.notify') === 'off'"_s),
                 qPrintable(other.evaluate(state).toString()));
        QCOMPARE(other.evaluate(state).toString(),
                 u"1 false off 通知はブラウザで拒否されています。サイトの設定で許可できます。"_s);
    }

    // A name over plain HTTP (another than the HTTPS one, which the browser now keeps to HTTPS as told): no secure
    // context, so no switch, no worker, and a note says why.
    void offersNoNotificationsOverPlainHttp()
    {
        DevTools plain;
        QVERIFY(plain.open(m_chromium.devToolsUrl()));
        QVERIFY(plain.attachNewPage());
        plain.call(u"Page.navigate"_s, {{u"url"_s, u"http://chat.test:8557/"_s}});
        QVERIFY2(plain.waitUntil(u"document.readyState === 'complete'"_s), qPrintable(plain.lastError));
        QCOMPARE(plain
                     .evaluate(u"[window.isSecureContext, 'serviceWorker' in navigator,"
                               " document.getElementById('notify-switch').hidden].join()"_s)
                     .toString(),
                 u"false,false,true"_s);
        QVERIFY(plain.evaluate(u"document.getElementById('notify-note').textContent"_s)
                    .toString()
                    .startsWith(u"このページは暗号化されていない http:// で開かれているため、通知は使えません"_s));
    }

    // With a room key the page asks for it first, keeps it, says when it is wrong, and forgets it on request.
    void asksForTheRoomKeyBeforeTheNickname()
    {
        QTemporaryDir directory;
        const QString keyFile = directory.filePath(u"room.key"_s);
        QVERIFY(writeFile(keyFile, u"ひらけ、ごま 1234\n"_s.toUtf8()));
        WebGatewayProcess keyed({u"--listen"_s, u"127.0.0.1:8558"_s, u"--access-key-file"_s, keyFile});
        QVERIFY(keyed.start());
        QVERIFY(keyed.waitForOutput(u"serving the chat page on 127.0.0.1:8558"_s));
        DevTools page;
        QVERIFY(page.open(m_chromium.devToolsUrl()));
        QVERIFY(page.attachNewPage());
        page.call(u"Page.navigate"_s, {{u"url"_s, u"http://127.0.0.1:8558/?name=鍵"_s}});
        const QString asked = u"!document.getElementById('key-form').hidden && document.getElementById('join').hidden"
                              " && document.getElementById('room').hidden"_s;
        QVERIFY(page.waitUntil(asked));
        const QString give = u"document.getElementById('room-key').value = '%1';"
                             " document.getElementById('key-form').requestSubmit()"_s;
        page.evaluate(give.arg(u"まちがった合言葉"_s));
        QVERIFY(page.waitUntil(asked + u" && document.getElementById('key-error').textContent === "
                                       "'合言葉が違います。もう一度入力してください。'"_s));
        QVERIFY(page.evaluate(u"localStorage.getItem('kova.roomKey') === null"_s).toBool());

        page.evaluate(give.arg(u"ひらけ、ごま 1234"_s));
        QVERIFY(page.waitUntil(u"document.getElementById('status').textContent === '「鍵」で入室しています。'"_s));
        QCOMPARE(page.evaluate(u"localStorage.getItem('kova.roomKey')"_s).toString(), u"ひらけ、ごま 1234"_s);
        QVERIFY(
            !page.evaluate(u"document.documentElement.outerHTML + location.href"_s).toString().contains(u"ひらけ"_s));
        // Kept: a reload goes straight in.
        page.call(u"Page.reload"_s);
        QVERIFY(page.waitUntil(u"document.getElementById('status').textContent === '「鍵」で入室しています。'"_s));

        page.evaluate(u"document.getElementById('forget-key').click()"_s);
        QVERIFY(page.waitUntil(asked));
        QVERIFY(page.evaluate(u"localStorage.getItem('kova.roomKey') === null"_s).toBool());
        QVERIFY(!keyed.output().contains(u"ひらけ"_s));
    }
};

KOVA_NAMESPACED_TEST_MAIN(TestWebPage, false)
#include "tst_webpage.moc"
