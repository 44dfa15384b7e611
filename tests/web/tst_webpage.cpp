#include "DevTools.h"
#include "KovaProcess.h"
#include "NamespacedTestMain.h"
#include "WebGatewayProcess.h"
#include "io/Cp932.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
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

private Q_SLOTS:
    void initTestCase()
    {
        m_kova = std::make_unique<KovaProcess>();
        QVERIFY(m_kova->startListening());
        QVERIFY(m_web.start());
        QString error;
        QVERIFY2(m_chromium.start(&error), qPrintable(error));
        QVERIFY(m_page.open(m_chromium.devToolsUrl()));
        QVERIFY2(m_page.attachNewPage(), qPrintable(m_page.lastError));
        m_page.call(u"Page.enable"_s);
        m_page.call(u"Runtime.enable"_s);
    }

    void cleanupTestCase()
    {
        m_chromium.stop();
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

        if (const QString path = qEnvironmentVariable("KOVA_WEB_SCREENSHOT"); !path.isEmpty()) {
            const QJsonObject shot = m_page.call(u"Page.captureScreenshot"_s, {{u"format"_s, u"png"_s}});
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray::fromBase64(shot.value(u"data"_s).toString().toLatin1()));
        }
    }

    void streamParserGivesTheSameForEveryCut()
    {
        QFile checks(qEnvironmentVariable("KOVA_WEB_TESTS") + u"/stream_checks.js"_s);
        QVERIFY(checks.open(QIODevice::ReadOnly));
        const QJsonValue result = m_page.evaluate(QString::fromUtf8(checks.readAll()));
        QVERIFY2(result.isObject(), qPrintable(m_page.lastError));
        const QJsonObject summary = result.toObject();
        qInfo("stream parser: %d cases, %d ways of cutting them into reads", summary.value(u"cases"_s).toInt(),
              summary.value(u"runs"_s).toInt());
        QVERIFY2(summary.value(u"failures"_s).toArray().isEmpty(),
                 QJsonDocument(summary.value(u"failures"_s).toArray()).toJson().constData());
        QVERIFY(summary.value(u"runs"_s).toInt() > 10000);
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
        QVERIFY2(m_page.waitUntil(LogShown + uR"(.endsWith('"ウェブ二号さんが来ました。"]'))"_s),
                 qPrintable(shown(LogShown)));
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
        QVERIFY(m_page.waitUntil(u"!document.getElementById('line').disabled"_s));

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
};

KOVA_NAMESPACED_TEST_MAIN(TestWebPage, false)
#include "tst_webpage.moc"
