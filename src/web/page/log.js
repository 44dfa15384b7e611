'use strict';

// The conversation as the page shows it: chat lines under their speakers, notices, and marks (a new day, lines
// that may be missing, earlier lines). It keeps the last MaxLines lines, can be saved and restored as plain data,
// and tells a screen reader each line once, when it is complete. Received text reaches the page only as text
// nodes, and as links built with DOM methods for http and https URLs.
class KovaLog {
    static MaxLines = 500;
    // A line that stops growing for this long is complete as far as anyone can tell.
    static SettleMs = 300;
    static MaxAnnounced = 20;

    // element: the visible log; announcer: a live region that reads each line out once; now: the clock.
    constructor(element, announcer, now = () => new Date()) {
        this.element = element;
        this.announcer = announcer;
        this.now = now;
        this.nickname = '';
        this.entries = []; // { kind: 'line' | 'notice' | 'mark', speaker, text, time, style, nodes }
        this.lines = 0;    // entries that are not marks
        this.open = null; // the line that may still grow
        this.settleTimer = null;
        this.unreadMarker = null;
        this.markNext = false;
    }

    static pad(n) {
        return String(n).padStart(2, '0');
    }

    static clock(date) {
        return `${KovaLog.pad(date.getHours())}:${KovaLog.pad(date.getMinutes())}`;
    }

    static fullTime(date) {
        return `${date.getFullYear()}/${KovaLog.pad(date.getMonth() + 1)}/${KovaLog.pad(date.getDate())} ` +
            `${KovaLog.clock(date)}:${KovaLog.pad(date.getSeconds())}`;
    }

    static dayText(date) {
        const weekday = '日月火水木金土'[date.getDay()];
        return `${date.getFullYear()}年${date.getMonth() + 1}月${date.getDate()}日（${weekday}）`;
    }

    static dayKey(date) {
        return `${date.getFullYear()}-${date.getMonth()}-${date.getDate()}`;
    }

    // Whether the text names the nickname; Latin letters in either case.
    static mentions(text, nickname) {
        return nickname !== '' && text.toLowerCase().includes(nickname.toLowerCase());
    }

    // The text as nodes: http and https URLs become links that open apart from the page, the rest stays text.
    static linked(text) {
        const nodes = [];
        const pattern = /https?:\/\/[^\s<>"'`「」『』（）、。]+/gi;
        let from = 0;
        for (const match of text.matchAll(pattern)) {
            // Punctuation that ends a sentence is not part of the address; a closing parenthesis only when
            // the address opened none.
            let url = match[0].replace(/[.,;:!?]+$/, '');
            if (url.endsWith(')') && !url.includes('('))
                url = url.slice(0, -1);
            let target = null;
            try {
                target = new URL(url);
            } catch {
                continue;
            }
            if ((target.protocol !== 'http:' && target.protocol !== 'https:') || !target.hostname)
                continue;
            if (match.index > from)
                nodes.push(document.createTextNode(text.slice(from, match.index)));
            const link = document.createElement('a');
            link.href = target.href;
            link.rel = 'noopener noreferrer';
            link.target = '_blank';
            link.textContent = url;
            nodes.push(link);
            from = match.index + url.length;
        }
        if (from < text.length)
            nodes.push(document.createTextNode(text.slice(from)));
        return nodes;
    }

    lineCount() {
        return this.lines;
    }

    // A chat line; speaker is null when unknown. It stays open for setText until the next entry or settle().
    addLine(speaker, text, time = this.now(), options = {}) {
        this.settle();
        const entry = { kind: 'line', speaker, text, time, style: options.style || '' };
        this.render(entry);
        if (options.quiet) {
            this.finish(entry);
        } else {
            this.open = entry;
            this.scheduleSettle();
        }
        return entry;
    }

    // The open line's text so far.
    setText(text) {
        const entry = this.open;
        if (!entry)
            return;
        entry.text = text;
        const paragraph = entry.nodes[entry.nodes.length - 1];
        paragraph.replaceChildren(...KovaLog.linked(text));
        paragraph.classList.toggle('mention', this.isMention(entry));
        this.scheduleSettle();
    }

    addNotice(text, time = this.now(), options = {}) {
        this.settle();
        const entry = { kind: 'notice', text, time, style: options.style || '' };
        this.render(entry);
        if (!options.quiet)
            this.announce(text);
        this.finish(entry);
        return entry;
    }

    // A line of the page's own between entries, not counted as a line: style says which.
    addMark(text, style, time = this.now()) {
        this.settle();
        const entry = { kind: 'mark', text, time, style };
        this.render(entry);
        this.finish(entry);
        return entry;
    }

    // The next line or notice gets the "new lines start here" marker; an older marker goes.
    markNextUnread() {
        this.markNext = true;
    }

    // The open line is complete: it is read out now.
    settle() {
        clearTimeout(this.settleTimer);
        this.settleTimer = null;
        const entry = this.open;
        if (!entry)
            return;
        this.open = null;
        if (entry.text !== '' || entry.speaker !== null)
            this.announce(entry.speaker === null ? entry.text : `${entry.speaker}: ${entry.text}`);
        this.finish(entry);
    }

    scheduleSettle() {
        clearTimeout(this.settleTimer);
        this.settleTimer = setTimeout(() => this.settle(), KovaLog.SettleMs);
    }

    // Called once an entry is complete: what it changes beyond itself.
    finish(entry) {
        this.onchange?.(entry);
    }

    isMention(entry) {
        return entry.kind === 'line' && entry.speaker !== this.nickname && entry.style !== 'earlier' &&
            KovaLog.mentions(entry.text, this.nickname);
    }

    announce(text) {
        if (!this.announcer)
            return;
        const item = document.createElement('p');
        item.textContent = text;
        this.announcer.append(item);
        while (this.announcer.childElementCount > KovaLog.MaxAnnounced)
            this.announcer.firstElementChild.remove();
    }

    render(entry) {
        entry.nodes = [];
        const last = this.entries[this.entries.length - 1];
        if (last && KovaLog.dayKey(last.time) !== KovaLog.dayKey(entry.time) && entry.style !== 'day')
            this.addDay(entry.time);
        if (this.markNext && entry.kind !== 'mark') {
            this.markNext = false;
            this.unreadMarker?.remove();
            this.unreadMarker = this.element.ownerDocument.createElement('p');
            this.unreadMarker.className = 'unread-marker';
            this.unreadMarker.textContent = 'ここから新しい発言';
            this.element.append(this.unreadMarker);
        }
        this.entries.push(entry);
        if (entry.kind !== 'mark')
            ++this.lines;
        if (entry.kind !== 'line') {
            const paragraph = document.createElement('p');
            paragraph.className = entry.kind === 'notice' ? 'notice' : `mark ${entry.style}`;
            if (entry.kind === 'notice' && entry.style)
                paragraph.classList.add(entry.style);
            paragraph.textContent = entry.text;
            this.element.append(paragraph);
            entry.nodes.push(paragraph);
            this.trim();
            return;
        }
        const paragraph = document.createElement('p');
        paragraph.className = 'text';
        paragraph.title = KovaLog.fullTime(entry.time);
        paragraph.dataset.time = paragraph.title;
        paragraph.append(...KovaLog.linked(entry.text));
        if (this.isMention(entry))
            paragraph.classList.add('mention');
        // Lines of one speaker in a row stand under one heading, while the minute stays the same.
        const group = this.element.lastElementChild;
        const minute = KovaLog.clock(entry.time);
        if (group && group.classList.contains('group') && group.speaker === entry.speaker &&
            group.minute === minute && group.day === KovaLog.dayKey(entry.time) &&
            group.entryStyle === entry.style) {
            group.append(paragraph);
        } else {
            const fresh = document.createElement('div');
            fresh.className = 'group';
            if (entry.style)
                fresh.classList.add(entry.style);
            fresh.speaker = entry.speaker;
            fresh.minute = minute;
            fresh.day = KovaLog.dayKey(entry.time);
            fresh.entryStyle = entry.style;
            if (entry.speaker === this.nickname)
                fresh.classList.add('mine');
            const head = document.createElement('div');
            head.className = 'speaker';
            if (entry.speaker !== null) {
                const name = document.createElement('span');
                name.className = 'name';
                name.textContent = entry.speaker;
                head.append(name);
            }
            const time = document.createElement('span');
            time.className = 'time';
            time.textContent = minute;
            head.append(time);
            fresh.append(head, paragraph);
            this.element.append(fresh);
            entry.nodes.push(fresh);
        }
        entry.nodes.push(paragraph);
        this.trim();
    }

    addDay(time) {
        const entry = { kind: 'mark', text: KovaLog.dayText(time), time, style: 'day', nodes: [] };
        const paragraph = document.createElement('p');
        paragraph.className = 'mark day';
        paragraph.textContent = entry.text;
        this.element.append(paragraph);
        entry.nodes.push(paragraph);
        this.entries.push(entry);
    }

    // Lines beyond MaxLines go, oldest first, with the marks before them and headings left without lines.
    trim() {
        let excess = this.lineCount() - KovaLog.MaxLines;
        while (excess > 0 && this.entries.length) {
            const entry = this.entries.shift();
            for (const node of entry.nodes) {
                if (node.classList.contains('group'))
                    continue;
                const group = node.parentElement;
                node.remove();
                if (group && group.classList.contains('group') && !group.querySelector('.text'))
                    group.remove();
            }
            if (entry.kind !== 'mark') {
                --excess;
                --this.lines;
            }
        }
        while (this.entries.length && this.entries[0].kind === 'mark' && this.entries[0].style === 'day') {
            this.entries.shift().nodes.forEach((node) => node.remove());
        }
    }

    // Everything but the page's own markers, as plain data for sessionStorage.
    save() {
        return this.entries.filter((e) => e.style !== 'day').map(({ kind, speaker, text, time, style }) =>
            ({ kind, speaker, text, time: time.getTime(), style }));
    }

    // Shows saved entries again, without reading them out.
    restore(saved) {
        if (!Array.isArray(saved))
            return;
        for (const e of saved.slice(-2 * KovaLog.MaxLines)) {
            if (!e || typeof e.text !== 'string' || typeof e.time !== 'number')
                continue;
            const time = new Date(e.time);
            const style = typeof e.style === 'string' ? e.style : '';
            if (e.kind === 'line' && (e.speaker === null || typeof e.speaker === 'string'))
                this.addLine(e.speaker, e.text, time, { quiet: true, style });
            else if (e.kind === 'notice')
                this.addNotice(e.text, time, { quiet: true, style });
            else if (e.kind === 'mark')
                this.addMark(e.text, style, time);
        }
    }

    // After a nickname change: mentions are those of the new name.
    refreshMentions() {
        for (const entry of this.entries) {
            if (entry.kind === 'line')
                entry.nodes[entry.nodes.length - 1].classList.toggle('mention', this.isMention(entry));
        }
    }
}
