// Checks of the page's conversation view (KovaLog, log.js), evaluated in the page by tst_webpage on a log of its
// own with a clock that the checks move.
(() => {
    const failures = [];
    let checks = 0;
    const expect = (what, got, want) => {
        ++checks;
        const g = JSON.stringify(got);
        const w = JSON.stringify(want);
        if (g !== w)
            failures.push({ what, got: g, want: w });
    };
    let clock = new Date(2026, 11, 7, 23, 58, 10);
    const make = () => {
        const element = document.createElement('div');
        const announcer = document.createElement('div');
        const log = new KovaLog(element, announcer, () => new Date(clock));
        log.nickname = 'Web';
        return { log, element, announcer };
    };
    const groups = (element) => [...element.children].map((e) => e.classList.contains('group')
        ? [e.querySelector('.name')?.textContent ?? null, e.querySelector('.time').textContent,
            ...[...e.querySelectorAll('.text')].map((p) => p.textContent)]
        : `${e.className}: ${e.textContent}`);

    // A line without a speaker and one from a participant called "null" are two speakers.
    {
        const { log, element } = make();
        log.addLine(null, 'no speaker');
        log.addLine('null', 'named null');
        log.addLine('null', 'again');
        expect('null speaker', groups(element), [[null, '23:58', 'no speaker'], ['null', '23:58', 'named null', 'again']]);
    }

    // A new heading with the time when the minute changes, the date when the day does; the full time on each.
    {
        const { log, element } = make();
        log.addLine('生', 'one');
        clock = new Date(2026, 11, 7, 23, 58, 50);
        log.addLine('生', 'same minute');
        clock = new Date(2026, 11, 7, 23, 59, 5);
        log.addLine('生', 'next minute');
        clock = new Date(2026, 11, 8, 0, 1, 0);
        log.addLine('生', 'next day');
        expect('times', groups(element), [['生', '23:58', 'one', 'same minute'], ['生', '23:59', 'next minute'],
            'mark day: 2026年12月8日（火）', ['生', '00:01', 'next day']]);
        expect('full time', element.querySelector('.text').title, '2026/12/07 23:58:10');
    }

    // Trimmed by lines, however they are grouped; a heading goes with its last line.
    {
        const { log, element } = make();
        log.addLine('花子', 'first');
        for (let i = 0; i < KovaLog.MaxLines + 20; ++i)
            log.addLine('生', `flood ${i}`);
        log.settle();
        expect('lines kept', element.querySelectorAll('.text').length, KovaLog.MaxLines);
        expect('oldest kept', element.querySelector('.text').textContent, 'flood 20');
        expect('speaker gone', element.querySelectorAll('.group').length, 1);
    }

    // Each line is read out once, complete, however often it grew.
    {
        const { log, announcer } = make();
        log.addLine('生', '');
        log.setText('こん');
        log.setText('こんにちは');
        log.addNotice('花子さんが来ました。');
        log.addLine('花子', 'どうも');
        log.settle();
        log.settle();
        expect('announced', [...announcer.children].map((p) => p.textContent),
            ['生: こんにちは', '花子さんが来ました。', '花子: どうも']);
    }

    // Links: http and https only, built as elements; everything else stays text.
    {
        const { log, element } = make();
        const links = (text) => {
            log.addLine('生', text);
            const p = [...element.querySelectorAll('.text')].pop();
            return [p.textContent, [...p.querySelectorAll('a')].map((a) => [a.getAttribute('href'), a.textContent,
                a.rel, a.target])];
        };
        expect('link', links('見て https://example.org/a?b=1&c=2#d です'),
            ['見て https://example.org/a?b=1&c=2#d です',
                [['https://example.org/a?b=1&c=2#d', 'https://example.org/a?b=1&c=2#d', 'noopener noreferrer',
                    '_blank']]]);
        expect('two links and punctuation', links('(http://a.example/x), http://b.example.'),
            ['(http://a.example/x), http://b.example.',
                [['http://a.example/x', 'http://a.example/x', 'noopener noreferrer', '_blank'],
                    ['http://b.example/', 'http://b.example', 'noopener noreferrer', '_blank']]]);
        expect('javascript', links('javascript:alert(1) JAVASCRIPT://x%0aalert(1)'),
            ['javascript:alert(1) JAVASCRIPT://x%0aalert(1)', []]);
        expect('data', links('data:text/html,<script>alert(1)</script>'),
            ['data:text/html,<script>alert(1)</script>', []]);
        expect('looks like a URL', links('http:// と http:/x と www.example.org と ftp://x.example'),
            ['http:// と http:/x と www.example.org と ftp://x.example', []]);
        expect('markup', links('<a href="https://x.example">x</a>'),
            ['<a href="https://x.example">x</a>', [['https://x.example/', 'https://x.example', 'noopener noreferrer',
                '_blank']]]);
        expect('no element but links', element.querySelectorAll('.text *:not(a)').length, 0);
    }

    // A line naming the reader is marked, their own is not; an earlier nickname stops counting after a rename.
    {
        const { log, element } = make();
        log.addLine('生', 'web さん、どう？');
        log.addLine('Web', '私は Web');
        log.addLine('生', 'だれも');
        const marked = () => [...element.querySelectorAll('.text')].map((p) => p.classList.contains('mention'));
        expect('mentions', marked(), [true, false, false]);
        log.nickname = 'だれ';
        log.refreshMentions();
        expect('mentions after a rename', marked(), [false, false, true]);
    }

    // Saved and restored: the same lines, quietly.
    {
        const { log, element } = make();
        log.addLine('生', 'https://example.org');
        log.addNotice('生さんが帰りました。');
        log.addMark('接続が切れていました 10:00–10:05', 'gap');
        log.settle();
        const copy = make();
        copy.log.restore(JSON.parse(JSON.stringify(log.save())));
        expect('restored', groups(copy.element), groups(element));
        expect('restored quietly', copy.announcer.childElementCount, 0);
        copy.log.restore([{ kind: 'line', speaker: 7, text: 'x', time: 0 }, null, 'x', { kind: 'mark' }]);
        expect('malformed entries skipped', copy.log.entries.length, log.entries.length);
    }

    return { checks, failures };
})()
