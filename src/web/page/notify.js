'use strict';

// Which lines that arrive while the reader is away become notifications, and how: a line that mentions the
// reader gets one of its own at once; the others share a single notification, replaced at most once per
// GroupMs and counting them, so that a busy room does not bury the screen. Titles and bodies are plain text.
class KovaNotifier {
    static GroupMs = 10000;
    static GroupTag = 'kova-lines';

    // show(title, options) puts up a notification; now() is the clock in milliseconds; timers can be replaced.
    constructor(show, now = () => Date.now(),
        timers = { set: (run, ms) => setTimeout(run, ms), clear: (id) => clearTimeout(id) }) {
        this.show = show;
        this.now = now;
        this.timers = timers;
        this.count = 0;        // lines of the group since the reader went away
        this.latest = null;    // the newest of them
        this.lastShown = null; // when the group's notification was last put up
        this.timer = null;
        this.mentions = 0;
    }

    // A chat line that the reader has not seen: { speaker, text }.
    line(entry, mention) {
        if (mention) {
            this.show(entry.speaker ?? 'KOVA', { body: entry.text, tag: `kova-mention-${++this.mentions}` });
            return;
        }
        ++this.count;
        this.latest = entry;
        if (this.timer !== null)
            return;
        const wait = this.lastShown === null ? 0 : this.lastShown + KovaNotifier.GroupMs - this.now();
        if (wait <= 0)
            this.showGroup();
        else
            this.timer = this.timers.set(() => this.showGroup(), wait);
    }

    showGroup() {
        this.timer = null;
        if (this.count === 0)
            return;
        const { speaker, text } = this.latest;
        const single = this.count === 1;
        this.show(single ? speaker ?? 'KOVA' : `新しい発言 ${this.count}件`, {
            body: single || speaker === null ? text : `${speaker}: ${text}`,
            tag: KovaNotifier.GroupTag,
            renotify: true,
        });
        this.lastShown = this.now();
    }

    // The reader is back and has seen everything; the next line away starts a new count.
    reset() {
        if (this.timer !== null)
            this.timers.clear(this.timer);
        this.timer = null;
        this.count = 0;
        this.latest = null;
    }
}
