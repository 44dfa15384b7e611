// Checks of the page's reader of the chat server's stream (KovaStream, stream.js), evaluated in the page by
// tst_webpage: every case is fed whole, message by message, cut into two reads at every position, into three at
// every pair of positions (the shorter cases), and one character at a time; each way must show the same.
(() => {
    // What the page ends up showing: chat lines and notices in order, and the participant list.
    function show(reads) {
        const shown = [];
        let members = [];
        let open = null;
        const stream = new KovaStream({
            line: (speaker, text) => {
                open = { line: speaker, text };
                shown.push(open);
            },
            lineText: (text) => {
                open.text = text;
            },
            joined: (name) => {
                open = null;
                shown.push({ joined: name });
            },
            left: (name) => {
                open = null;
                shown.push({ left: name });
            },
            renamed: (from, to) => {
                open = null;
                shown.push({ renamed: [from, to] });
            },
            members: (list) => {
                members = list.map(({ slot, name }) => `${slot}:${name}`);
            },
        });
        for (const read of reads)
            stream.feed(read);
        return JSON.stringify({ shown, members });
    }

    const line = (speaker, text) => ({ line: speaker, text });
    const long = 'あいうえお、かきくけこ。 > ではない+'.repeat(70);
    const cases = [
        {
            name: 'a session',
            messages: [
                'NAME:0:サーバ+NAME:1:Web+',
                'NAME:0:サーバ+NAME:1:Web+NAME:2:生+',
                '生 > こんにちは',
                'Web > やあ',
                '生 > <img src=x onerror=alert(1)>',
                '生 > a > b',
                '生 > また後でR',
                'NAME:0:とても長い名前の管理者さん+',
                'とても長い名前の管理者さん > ようこそ+',
                'RNAME:2:',
                'Web > 生 > いない',
                'Web > 一人です',
            ],
            shown: [
                { joined: '生' },
                line('生', 'こんにちは'),
                line('Web', 'やあ'),
                line('生', '<img src=x onerror=alert(1)>'),
                line('生', 'a > b'),
                line('生', 'また後でR'),
                { renamed: ['サーバ', 'とても長い名前の管理者さん'] },
                line('とても長い名前の管理者さん', 'ようこそ+'),
                { left: '生' },
                line('Web', '生 > いない'),
                line('Web', '一人です'),
            ],
            members: ['0:とても長い名前の管理者さん', '1:Web'],
        },
        {
            name: 'names given, given up and changed',
            messages: [
                'NAME:0:サーバ+NAME:1:+NAME:2:Web+',
                'NAME:0:サーバ+NAME:1:花子+NAME:2:Web+',
                '花子 > はじめまして',
                'RNAME:1:',
                'NAME:0:サーバ+NAME:1:はなこ+NAME:2:Web+',
                'NAME:0:サーバ+NAME:1:はなこ+NAME:2:Web+NAME:3:太郎+',
                // A participant's name followed by " > " begins a line, even inside another one.
                '太郎 > やあはなこ > どうも',
                'RNAME:3:',
                // A new name in the same slot is a rename, not a newcomer.
                'NAME:0:サーバ+NAME:1:はなこ+NAME:2:ウェブ+',
            ],
            shown: [
                { joined: '花子' },
                line('花子', 'はじめまして'),
                { left: '花子' },
                { joined: 'はなこ' },
                { joined: '太郎' },
                line('太郎', 'やあ'),
                line('はなこ', 'どうも'),
                { left: '太郎' },
                { renamed: ['Web', 'ウェブ'] },
            ],
            members: ['0:サーバ', '1:はなこ', '2:ウェブ'],
        },
        {
            name: 'lines before the first roster',
            messages: [
                '太郎 > 誰かいますか',
                'NAME:0:サーバ+NAME:1:太郎+NAME:2:+',
                'NAME:0:サーバ+NAME:1:太郎+NAME:2:Web+',
                '太郎 > ようこそ',
            ],
            shown: [line('太郎', '誰かいますか'), { joined: 'Web' }, line('太郎', 'ようこそ')],
            members: ['0:サーバ', '1:太郎', '2:Web'],
        },
        {
            name: 'a long line',
            messages: ['NAME:0:サーバ+NAME:1:Web+NAME:2:生+', `生 > ${long}`, 'Web > 短い'],
            shown: [line('生', long), line('Web', '短い')],
            members: ['0:サーバ', '1:Web', '2:生'],
        },
    ];

    const failures = [];
    let runs = 0;
    for (const c of cases) {
        const want = JSON.stringify({ shown: c.shown, members: c.members });
        const check = (how, reads) => {
            ++runs;
            const got = show(reads);
            if (got !== want && failures.length < 5)
                failures.push({ case: c.name, how, got, want });
        };
        const whole = c.messages.join('');
        check('whole', [whole]);
        check('message by message', c.messages);
        check('one character at a time', [...whole]);
        for (let i = 1; i < whole.length; ++i)
            check(`cut at ${i}`, [whole.slice(0, i), whole.slice(i)]);
        if (whole.length <= 260) {
            for (let i = 1; i < whole.length; ++i) {
                for (let j = i + 1; j < whole.length; ++j)
                    check(`cut at ${i} and ${j}`, [whole.slice(0, i), whole.slice(i, j), whole.slice(j)]);
            }
        }
    }
    return { cases: cases.length, runs, failures };
})()
