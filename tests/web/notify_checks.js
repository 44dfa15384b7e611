// Checks of which lines become notifications and when (KovaNotifier, notify.js), evaluated in the page by
// tst_webpage with a clock and timers that the checks move.
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
    let clock = 1000000;
    let timers = [];
    const shown = [];
    const notifier = new KovaNotifier((title, { body, tag, renotify }) => shown.push([title, body, tag, !!renotify]),
        () => clock, {
            set: (run, ms) => {
                const timer = { run, at: clock + ms };
                timers.push(timer);
                return timer;
            },
            clear: (timer) => {
                timers = timers.filter((t) => t !== timer);
            },
        });
    const pass = (ms) => {
        clock += ms;
        for (const timer of timers.filter((t) => t.at <= clock)) {
            timers = timers.filter((t) => t !== timer);
            timer.run();
        }
    };
    const take = () => shown.splice(0);

    // The first line at once; the next ones within 10 s wait and then share one notification, counted.
    notifier.line({ speaker: '生', text: 'one' }, false);
    expect('first at once', take(), [['生', 'one', 'kova-lines', true]]);
    pass(3000);
    notifier.line({ speaker: '花', text: 'two' }, false);
    pass(1000);
    notifier.line({ speaker: '生', text: 'three' }, false);
    expect('held within 10 s', take(), []);
    pass(5999);
    expect('not before 10 s', take(), []);
    pass(1);
    expect('grouped at 10 s', take(), [['新しい発言 3件', '生: three', 'kova-lines', true]]);
    pass(60000);
    expect('nothing more to show', take(), []);
    const late = { speaker: '花', text: 'fo' };
    notifier.line(late, false);
    late.text = 'four';
    expect('after a quiet while at once, still counting', take(), [['新しい発言 4件', '花: fo', 'kova-lines', true]]);

    // A mention always at once, each its own, whatever the group waits for.
    const growing = { speaker: '生', text: 'fi' };
    notifier.line(growing, false);
    growing.text = 'five';
    notifier.line({ speaker: '生', text: 'Webさん？' }, true);
    notifier.line({ speaker: '花', text: 'Webさんも' }, true);
    expect('mentions at once', take(), [['生', 'Webさん？', 'kova-mention-1', false], ['花', 'Webさんも', 'kova-mention-2', false]]);
    pass(10000);
    expect('a line grown since is shown whole', take(), [['新しい発言 5件', '生: five', 'kova-lines', true]]);

    // Back at the page: what waited is dropped and the count starts again, still no more often than every 10 s.
    pass(1000);
    notifier.line({ speaker: '生', text: 'six' }, false);
    notifier.reset();
    expect('reset drops the waiting one', [timers.length, take()], [0, []]);
    notifier.line({ speaker: null, text: 'seven' }, false);
    expect('a new count, held', take(), []);
    pass(9000);
    expect('a speaker unknown', take(), [['KOVA', 'seven', 'kova-lines', true]]);

    return { checks, failures };
})()
