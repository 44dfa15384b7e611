'use strict';

// Reads the chat server's stream as the gateway passes it on, one read at a time. The server puts nothing
// between its messages, and a read may hold part of a message or several of them:
//   name > text            a chat line
//   NAME:0:name+NAME:3:…+  the roster after a registration (slot 0 first, ascending)
//   NAME:0:name+           the operator's new nickname
//   RNAME:3:               client slot 3 (1 to 9) left or gave up its name
// A roster entry or a leave notice is taken once it is complete. A chat line has no end of its own: it runs
// until the next message begins, so the last one stays open and grows while more of it arrives. A new message
// is seen to begin inside a chat line at "RNAME:<1-9>:", at a complete "NAME:0:<name>+", and at the name of a
// participant followed by " > ". However the stream is cut into reads, the result is the same.
//
// What the protocol leaves open, and how it is read here:
// - a chat line is cut where its text holds "<participant> > " (a client's text never holds "NAME:": the
//   server takes such a message as a registration; the operator's could, and is cut there too);
// - a nickname containing "+" or " > " confuses rosters and speakers (the page lets nobody choose one);
// - a chat line from a client without a name (" > text") ends only at a roster, a leave or a known name;
// - text without " > " within its first 1,027 characters is shown without a speaker.
class KovaStream {
    static MaxName = 1024;
    static Slots = 10;

    // sink: { line(speaker, text), lineText(text), joined(name), renamed(from, to), left(name), members(list) },
    // where a list holds { slot, name } for each participant with a name, in slot order; speaker is null when
    // unknown.
    constructor(sink) {
        this.sink = sink;
        this.reset();
    }

    // Forget everything, as for a new connection.
    reset() {
        this.names = new Array(KovaStream.Slots).fill(null); // '' for a slot without a name
        this.tail = '';         // text not yet final: an open chat line's text, or the start of a message
        this.open = false;      // tail starts with the text of a chat line that may go on
        this.openText = '';     // what the sink was last told that line says
        this.scanned = 0;       // how much of the open line was searched already
        this.roster = null;     // the roster being read: { last, count, first }
        this.hadRoster = false;
    }

    feed(text) {
        const t = this.tail + text;
        let pos = 0;
        for (;;) {
            if (this.open) {
                // Only a pattern that ends in what is new can be new; each pattern is shorter than the window.
                const from = Math.max(pos + 1, pos + this.scanned - this.window());
                const end = this.boundary(t, from);
                if (end === -1) {
                    this.scanned = t.length - pos;
                    this.setLineText(t.slice(pos));
                    break;
                }
                this.setLineText(t.slice(pos, end));
                this.open = false;
                pos = end;
                continue;
            }
            if (pos === t.length)
                break;
            const message = this.structural(t, pos);
            if (message === KovaStream.Partial)
                break;
            if (message) {
                this.apply(message);
                pos += message.length;
                continue;
            }
            const start = this.speaker(t, pos);
            if (start === KovaStream.Partial)
                break;
            this.endRoster();
            this.sink.line(start.speaker, '');
            this.open = true;
            this.openText = '';
            this.scanned = 0;
            pos += start.length;
        }
        this.tail = t.slice(pos);
    }

    setLineText(text) {
        if (text !== this.openText) {
            this.openText = text;
            this.sink.lineText(text);
        }
    }

    window() {
        let longest = 7 + KovaStream.MaxName + 1;
        for (const name of this.names) {
            if (name)
                longest = Math.max(longest, name.length + 3);
        }
        return longest;
    }

    // The first position at or after from where a new message begins inside a chat line, or -1.
    boundary(t, from) {
        let best = -1;
        for (let i = t.indexOf('RNAME:', from); i !== -1; i = t.indexOf('RNAME:', i + 1)) {
            if (this.leaveAt(t, i)) {
                best = i;
                break;
            }
        }
        for (let i = t.indexOf('NAME:0:', from); i !== -1 && (best === -1 || i < best);
             i = t.indexOf('NAME:0:', i + 1)) {
            const entry = this.entryAt(t, i);
            if (entry && entry !== KovaStream.Partial) {
                best = i;
                break;
            }
        }
        for (const name of this.names) {
            if (!name)
                continue;
            const i = t.indexOf(name + ' > ', from);
            if (i !== -1 && (best === -1 || i < best))
                best = i;
        }
        return best;
    }

    // Slot 0 is the operator, who never leaves: a chat line ending in "R" before "NAME:0:" is no leave notice.
    leaveAt(t, i) {
        return t.startsWith('RNAME:', i) && i + 8 <= t.length && this.isClientSlot(t[i + 6]) && t[i + 7] === ':';
    }

    isDigit(c) {
        return c >= '0' && c <= '9';
    }

    isClientSlot(c) {
        return c >= '1' && c <= '9';
    }

    // A roster entry NAME:<digit>:<name>+ at i: the entry, Partial while it may still become one, or null.
    entryAt(t, i) {
        const head = 'NAME:';
        const have = Math.min(t.length - i, head.length);
        if (t.slice(i, i + have) !== head.slice(0, have))
            return null;
        if (have < head.length)
            return KovaStream.Partial;
        if (i + 5 >= t.length)
            return KovaStream.Partial;
        if (!this.isDigit(t[i + 5]))
            return null;
        if (i + 6 >= t.length)
            return KovaStream.Partial;
        if (t[i + 6] !== ':')
            return null;
        const start = i + 7;
        const plus = t.indexOf('+', start);
        const end = plus === -1 ? t.length : plus;
        const name = t.slice(start, Math.min(end, start + KovaStream.MaxName + 1));
        if (name.length > KovaStream.MaxName || name.includes(' > '))
            return null;
        if (plus === -1)
            return KovaStream.Partial;
        return { kind: 'entry', slot: Number(t[i + 5]), name, length: plus + 1 - i };
    }

    // A roster entry or a leave notice at pos: the message, Partial while it may still become one, or null.
    structural(t, pos) {
        if (t[pos] === 'R') {
            const head = 'RNAME:';
            const have = Math.min(t.length - pos, head.length);
            if (t.slice(pos, pos + have) !== head.slice(0, have))
                return null;
            if (pos + 8 > t.length)
                return pos + 6 < t.length && !this.isClientSlot(t[pos + 6]) ? null : KovaStream.Partial;
            return this.leaveAt(t, pos) ? { kind: 'leave', slot: Number(t[pos + 6]), length: 8 } : null;
        }
        return t[pos] === 'N' ? this.entryAt(t, pos) : null;
    }

    // The speaker of a chat line at pos: the longest participant's name followed by " > ", else whatever comes
    // before the first " > "; Partial while neither is there yet.
    speaker(t, pos) {
        let best = null;
        for (const name of this.names) {
            if (name && (best === null || name.length > best.length) && t.startsWith(name + ' > ', pos))
                best = name;
        }
        if (best !== null)
            return { speaker: best, length: best.length + 3 };
        const arrow = t.indexOf(' > ', pos);
        if (arrow !== -1 && arrow - pos <= KovaStream.MaxName)
            return { speaker: t.slice(pos, arrow), length: arrow - pos + 3 };
        if (arrow === -1 && t.length - pos < KovaStream.MaxName + 3)
            return KovaStream.Partial;
        return { speaker: null, length: 0 };
    }

    apply(message) {
        if (message.kind === 'leave') {
            this.endRoster();
            const name = this.names[message.slot];
            if (name === null)
                return;
            this.names[message.slot] = null;
            if (name)
                this.sink.left(name);
            this.membersChanged();
            return;
        }
        const slot = message.slot;
        if (slot === 0) {
            this.endRoster();
            this.roster = { last: 0, count: 1, first: !this.hadRoster };
        } else if (this.roster && slot > this.roster.last) {
            // A slot that the roster skips is empty.
            for (let s = this.roster.last + 1; s < slot; ++s)
                this.names[s] = null;
            this.roster.last = slot;
            ++this.roster.count;
        } else {
            this.endRoster();
        }
        const before = this.names[slot];
        this.names[slot] = message.name;
        // The first roster shows who is there already; later ones bring the newcomer or a new name.
        if (message.name && message.name !== before && !(this.roster && this.roster.first)) {
            if (before)
                this.sink.renamed(before, message.name);
            else if (slot !== 0)
                this.sink.joined(message.name);
        }
        this.membersChanged();
    }

    // A lone NAME:0: entry only renames the operator; a roster lists every occupied slot.
    endRoster() {
        if (!this.roster)
            return;
        if (this.roster.count >= 2) {
            for (let s = this.roster.last + 1; s < KovaStream.Slots; ++s)
                this.names[s] = null;
            this.hadRoster = true;
            this.membersChanged();
        }
        this.roster = null;
    }

    membersChanged() {
        const list = [];
        this.names.forEach((name, slot) => {
            if (name)
                list.push({ slot, name });
        });
        this.sink.members(list);
    }
}

KovaStream.Partial = Symbol('partial');

// What the gateway refuses from a browser, closing its connection, is refused here before sending, in the
// reader's words. A nickname with ":" could complete "NAME:" or "RNAME:" after someone's line, one with "+" or
// " > " would confuse rosters and speakers, and spaces around it cannot be seen.
function nicknameRefusal(name) {
    if (name.includes(':') || name.includes('+') || name.includes(' > '))
        return 'ニックネームに「:」「+」「 > 」は使えません。';
    if (name.startsWith(' ') || name.endsWith(' '))
        return 'ニックネームの前後に空白は使えません。';
    return '';
}

// The server reads any message with NAME: in it as a registration or a leave.
function lineRefusal(text) {
    return text.includes('NAME:') ? '「NAME:」を含む発言は送れません（名前の登録や退室と受け取られます）。' : '';
}
