'use strict';

// The chat page: joins the chat server through the gateway's WebSocket, shows what the server sends and sends
// what is typed. Received text reaches the page only as text (see log.js).
(() => {
    const $ = (id) => document.getElementById(id);
    const ui = {
        status: $('status'),
        icon: $('icon'),
        keyForm: $('key-form'),
        roomKey: $('room-key'),
        keyError: $('key-error'),
        join: $('join'),
        nickname: $('nickname'),
        joinError: $('join-error'),
        room: $('room'),
        log: $('log'),
        announcer: $('announcer'),
        more: $('more'),
        moreCount: $('more-count'),
        members: $('members'),
        count: $('member-count'),
        say: $('say'),
        line: $('line'),
        send: $('send'),
        sayError: $('say-error'),
        sound: $('sound'),
        soundHint: $('sound-hint'),
        notifySwitch: $('notify-switch'),
        notify: $('notify'),
        notifyNote: $('notify-note'),
        rename: $('rename'),
        leave: $('leave'),
        renameForm: $('rename-form'),
        newName: $('new-name'),
        renameError: $('rename-error'),
        renameCancel: $('rename-cancel'),
    };

    const MaxNickname = 20;
    const BackoffSeconds = [1, 2, 4, 8, 15, 30];
    const MaxRecalled = 50;
    const LongPressMs = 500;
    const SaveDelayMs = 500;
    const Title = 'KOVA チャット';
    const SavedLog = 'kova.log';
    const SoundSetting = 'kova.sound';
    const NotifySetting = 'kova.notify';
    // The gateway's reasons for closing, as its close codes say.
    const CloseServerClosed = 4000;
    const CloseServerUnreachable = 4001;
    const CloseRoomFull = 4002;
    const CloseWrongRoomKey = 4003;
    const CloseRoomKeyLockedOut = 4004;
    const RoomKeySetting = 'kova.roomKey';
    const MinRoomKey = 8;
    const LockoutSeconds = 60;
    // The gateway says whether it wants a key; the key itself is never in the page.
    const keyRequired = document.querySelector('meta[name="kova-room-key"]')?.content === 'required';

    let nickname = '';
    let socket = null;
    let registered = false; // NAME: was sent on this connection
    let inRoom = false;     // the server answered it with a roster
    let attempt = 0;
    let retryTimer = null;
    let lostAt = null;      // when the page was last in the room, while it is not
    let members = [];
    let unread = 0;
    let unreadMentions = 0;
    let waitingBelow = 0;
    const recalled = [];    // lines sent, newest last
    let recallIndex = 0;
    let draft = '';
    let completion = null;  // { prefix, start, matches, index } while Tab cycles through names
    let audio = null;
    let saveTimer = null;
    let following = null;   // while a read is shown: whether the log showed its newest line before it
    let keyThenJoin = null; // the nickname to join with once the key has been given

    const log = new KovaLog(ui.log, ui.announcer);
    log.onchange = () => {
        clearTimeout(saveTimer);
        saveTimer = setTimeout(save, SaveDelayMs);
    };

    const stream = new KovaStream({
        line: (speaker, text) => {
            arriving(() => log.addLine(speaker, text));
        },
        lineText: (text) => {
            log.setText(text);
            const entry = log.open;
            if (entry && entry.counted === false && text !== '')
                countUnread(entry);
        },
        joined: (name) => arriving(() => log.addNotice(`${name}さんが来ました。`)),
        left: (name) => arriving(() => log.addNotice(`${name}さんが帰りました。`)),
        renamed: (from, to) => arriving(() => log.addNotice(`${from}さんが${to}に名前を変えました`)),
        members: showMembers,
    });

    function setStatus(text) {
        ui.status.textContent = text;
    }

    // ---- Where the reader is: away, scrolled up, and what they have not seen.

    function away() {
        return document.visibilityState !== 'visible' || !document.hasFocus();
    }

    function atBottom() {
        return ui.log.scrollHeight - ui.log.scrollTop - ui.log.clientHeight < 40;
    }

    function keepBottom(follow) {
        if (follow)
            ui.log.scrollTop = ui.log.scrollHeight;
    }

    // Shows what a read of the server's stream holds; the log follows the newest line unless the reader has
    // scrolled up. The layout is looked at once per read, not once per line.
    function showRead(text) {
        following = atBottom();
        try {
            stream.feed(text);
        } finally {
            keepBottom(following);
            following = null;
        }
    }

    // Something new enters the log.
    function arriving(add) {
        const follow = following ?? atBottom();
        const entry = add();
        if (entry.kind === 'line') {
            entry.counted = false;
            if (entry.text !== '')
                countUnread(entry);
        }
        if (following === null)
            keepBottom(follow);
        if (!follow) {
            ++waitingBelow;
            showWaiting();
        }
    }

    // A chat line is counted once it has text, so that the mention in it is seen.
    function countUnread(entry) {
        entry.counted = true;
        if (!away() || entry.speaker === nickname)
            return;
        ++unread;
        const mention = log.isMention(entry);
        if (mention)
            ++unreadMentions;
        showUnread();
        chime();
        if (notifyOn())
            notifier.line(entry, mention);
    }

    function showUnread() {
        const mark = unreadMentions ? `(${unread}・@${unreadMentions}) ` : unread ? `(${unread}) ` : '';
        document.title = mark + Title;
        ui.icon.href = unreadMentions ? 'icon-mention.png' : unread ? 'icon-unread.png' : 'icon.png';
    }

    function wentAway() {
        if (away())
            log.markNextUnread();
    }

    function cameBack() {
        if (away())
            return;
        log.markNext = false;
        unread = 0;
        unreadMentions = 0;
        showUnread();
        notifier.reset();
        closeNotifications();
    }

    function showWaiting() {
        ui.more.hidden = waitingBelow === 0;
        ui.moreCount.textContent = String(waitingBelow);
    }

    ui.log.addEventListener('scroll', () => {
        if (waitingBelow && atBottom()) {
            waitingBelow = 0;
            showWaiting();
        }
    });
    ui.more.addEventListener('click', () => {
        ui.log.scrollTop = ui.log.scrollHeight;
        waitingBelow = 0;
        showWaiting();
        ui.line.focus();
    });

    window.addEventListener('blur', wentAway);
    window.addEventListener('focus', cameBack);
    document.addEventListener('visibilitychange', () => {
        if (document.visibilityState === 'visible') {
            cameBack();
            reconnectNow();
        } else {
            wentAway();
            save();
        }
    });

    // ---- Sound: a short tone for lines that arrive while away, when switched on. Browsers let a page play
    // sound only after a gesture of the user's on it.

    function soundOn() {
        return localStorage.getItem(SoundSetting) === 'on';
    }

    function unlockSound() {
        if (!soundOn())
            return;
        audio ??= new AudioContext();
        if (audio.state === 'suspended')
            audio.resume();
        ui.soundHint.hidden = true;
    }

    function chime() {
        if (!soundOn() || !audio || audio.state !== 'running')
            return;
        const tone = audio.createOscillator();
        const volume = audio.createGain();
        tone.frequency.value = 880;
        volume.gain.setValueAtTime(0.15, audio.currentTime);
        volume.gain.exponentialRampToValueAtTime(0.001, audio.currentTime + 0.25);
        tone.connect(volume).connect(audio.destination);
        tone.start();
        tone.stop(audio.currentTime + 0.25);
    }

    ui.sound.checked = soundOn();
    ui.sound.addEventListener('change', () => {
        localStorage.setItem(SoundSetting, ui.sound.checked ? 'on' : 'off');
        unlockSound();
        ui.soundHint.hidden = true;
    });
    for (const gesture of ['pointerdown', 'keydown'])
        document.addEventListener(gesture, unlockSound);

    // ---- Notifications for lines that arrive while away, when switched on. Browsers offer them only to a
    // secure page (https, or one from this machine) and only once the reader has allowed them; a phone shows
    // them only through the service worker, which also lets the page be installed.

    const notifiable = window.isSecureContext && 'Notification' in window;
    const NotificationsRefused = '通知はブラウザで拒否されています。サイトの設定で許可できます。';
    let worker = null; // the service worker's registration, once it has one
    const notifier = new KovaNotifier(showNotification);

    function notifyOn() {
        return notifiable && localStorage.getItem(NotifySetting) === 'on' && Notification.permission === 'granted';
    }

    function sayAboutNotifications(text) {
        ui.notifyNote.textContent = text;
        ui.notifyNote.hidden = text === '';
    }

    async function showNotification(title, options) {
        // The permission may have been taken back since the line came.
        if (!notifyOn())
            return;
        const shown = { ...options, lang: 'ja', icon: 'heart-192.png', data: { url: location.href } };
        try {
            if (worker) {
                await worker.showNotification(title, shown);
            } else {
                const notification = new Notification(title, shown);
                notification.onclick = () => {
                    window.focus();
                    notification.close();
                };
            }
        } catch (error) {
            sayAboutNotifications(`通知を表示できませんでした（${error.message}）。`);
        }
    }

    // Lines the reader has now seen need no notification any more.
    function closeNotifications() {
        worker?.getNotifications().then((shown) => shown.forEach((notification) => notification.close()));
    }

    if (notifiable) {
        ui.notifySwitch.hidden = false;
        ui.notify.checked = notifyOn();
        if (localStorage.getItem(NotifySetting) === 'on' && Notification.permission === 'denied')
            sayAboutNotifications(NotificationsRefused);
    } else {
        sayAboutNotifications(window.isSecureContext ? 'このブラウザでは通知を使えません。'
            : 'このページは暗号化されていない http:// で開かれているため、通知は使えません' +
              '（ブラウザは https:// のページにだけ通知を許します）。');
    }

    // Permission is asked for here only, when the reader switches notifications on.
    ui.notify.addEventListener('change', async () => {
        if (!ui.notify.checked) {
            localStorage.setItem(NotifySetting, 'off');
            notifier.reset();
            sayAboutNotifications('');
            return;
        }
        let permission = Notification.permission;
        if (permission === 'default')
            permission = await Notification.requestPermission();
        const granted = permission === 'granted';
        ui.notify.checked = granted;
        localStorage.setItem(NotifySetting, granted ? 'on' : 'off');
        sayAboutNotifications(granted ? '' : permission === 'denied'
            ? NotificationsRefused
            : '通知は許可されませんでした。');
    });

    if (window.isSecureContext && 'serviceWorker' in navigator) {
        // Notifications go through it once it is active.
        navigator.serviceWorker.register('service-worker.js').then(() => navigator.serviceWorker.ready).then(
            (registration) => {
                worker = registration;
            }, (error) => {
                // The page works without it; notifications then come from the page itself where the browser can.
                console.error('service worker not registered:', error);
            });
    }

    // ---- The conversation kept for a reload, in this tab only.

    function save() {
        clearTimeout(saveTimer);
        try {
            sessionStorage.setItem(SavedLog, JSON.stringify({
                entries: log.save(),
                lostAt: inRoom ? Date.now() : lostAt?.getTime() ?? null,
            }));
        } catch {
            // Storage full or switched off: the conversation is simply not kept.
        }
    }

    function restore() {
        let saved = null;
        try {
            saved = JSON.parse(sessionStorage.getItem(SavedLog));
        } catch {
            return;
        }
        if (!saved)
            return;
        log.restore(saved.entries);
        if (typeof saved.lostAt === 'number')
            lostAt = new Date(saved.lostAt);
    }

    window.addEventListener('pagehide', save);

    // ---- The connection.

    // Nicknames that the protocol would misread are not offered to the server.
    function nicknameProblem(name) {
        if (!name)
            return 'ニックネームを入力してください。';
        if (name.length > MaxNickname)
            return `ニックネームは${MaxNickname}文字までです。`;
        return nicknameRefusal(name);
    }

    // The nickname typed into the input, or null after saying what is wrong with it.
    function typedNickname(input, error) {
        const name = input.value.trim();
        error.textContent = nicknameProblem(name);
        return error.textContent ? null : name;
    }

    function setNickname(name) {
        nickname = name;
        log.nickname = name;
        log.refreshMentions();
        history.replaceState(null, '', `${location.pathname}?name=${encodeURIComponent(nickname)}`);
    }

    // Whether the text went to the gateway.
    function send(text) {
        if (!socket || socket.readyState !== WebSocket.OPEN)
            return false;
        socket.send(JSON.stringify({ type: 'send', text }));
        return true;
    }

    function setInRoom(value) {
        inRoom = value;
        ui.rename.disabled = !value;
    }

    function connect() {
        clearTimeout(retryTimer);
        retryTimer = null;
        if (keyRequired && !savedKey()) {
            // Forgotten meanwhile, in another tab of the page.
            askForKey(nickname, '');
            return;
        }
        log.settle();
        stream.reset();
        registered = false;
        setInRoom(false);
        setStatus('接続しています…');
        const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
        const url = `${scheme}//${location.host}/chat`;
        // A page cannot give a WebSocket headers, and a key in the URL would be logged and kept in histories:
        // it goes as the subprotocol, which the gateway echoes to this browser alone.
        const key = keyRequired ? savedKey() : null;
        const ws = key ? new WebSocket(url, [keyProtocol(key)]) : new WebSocket(url);
        socket = ws;
        ws.onmessage = (event) => {
            if (ws !== socket)
                return;
            let message;
            try {
                message = JSON.parse(event.data);
            } catch {
                return;
            }
            if (message.type === 'connected') {
                registered = true;
                send(`NAME:${nickname}`);
            } else if (message.type === 'received' && typeof message.text === 'string') {
                showRead(message.text);
            } else if (message.type === 'history') {
                showEarlier(message);
            }
        };
        ws.onclose = (event) => {
            if (ws === socket)
                connectionLost(event);
        };
    }

    // While the page waits to connect again, it tries at once when the network or the reader comes back.
    function reconnectNow() {
        if (!nickname || ui.room.hidden || socket || retryTimer === null)
            return;
        attempt = 0;
        connect();
    }

    window.addEventListener('online', reconnectNow);
    window.addEventListener('pageshow', (event) => {
        if (event.persisted)
            reconnectNow();
    });

    function connectionLost(event) {
        const wasInRoom = inRoom;
        socket = null;
        setInRoom(false);
        showMembers([]);
        if (wasInRoom)
            lostAt = new Date();
        if (event.code === CloseWrongRoomKey) {
            forgetKey();
            askForKey(nickname, '合言葉が違います。もう一度入力してください。');
            return;
        }
        let why;
        let delay = BackoffSeconds[Math.min(attempt, BackoffSeconds.length - 1)];
        switch (event.code) {
        case CloseRoomKeyLockedOut:
            why = '合言葉の誤りが続いたため、しばらく入室できません。';
            delay = LockoutSeconds;
            break;
        case CloseServerClosed:
            why = 'チャットサーバとの接続が切れました。';
            break;
        case CloseServerUnreachable:
            why = 'チャットサーバに接続できません。';
            break;
        case CloseRoomFull:
            why = '満室です（9人まで）。';
            break;
        case 1001: // the gateway's own going away; a browser that navigates away sees no close
            why = 'ゲートウェイが停止しました。';
            break;
        case 1000:
        case 1005:
        case 1006:
            why = 'ゲートウェイとの接続が切れました。';
            break;
        default:
            why = `ゲートウェイに切断されました（${event.code} ${event.reason}）。`;
        }
        if (wasInRoom)
            arriving(() => log.addNotice(why));
        ++attempt;
        setStatus(`${why}${delay}秒後に${event.code === CloseRoomFull ? 'もう一度入室を試みます' : '再接続します'}。`);
        retryTimer = setTimeout(connect, delay * 1000);
    }

    // The gateway's record of what was said before this browser came: shown apart, when the page has nothing.
    function showEarlier(message) {
        if (!Array.isArray(message.lines) || log.lineCount() > 0 || message.lines.length === 0)
            return;
        log.addMark('入室前の発言', 'earlier-head');
        if (message.complete)
            log.addMark('これより前の発言はありません', 'earlier-start');
        for (const item of message.lines) {
            if (!item || typeof item.time !== 'number')
                continue;
            if (item.kind === 'gap' && typeof item.to === 'number')
                log.addMark(`この間の発言は記録されていません ${KovaLog.clock(new Date(item.time))}–` +
                    `${KovaLog.clock(new Date(item.to))}`, 'gap');
            else if (typeof item.text === 'string' && (item.speaker === null || typeof item.speaker === 'string'))
                log.addLine(item.speaker, item.text, new Date(item.time), { quiet: true, style: 'earlier' });
        }
        log.addMark('ここまで入室前の発言', 'earlier-end');
        keepBottom(true);
    }

    function showMembers(list) {
        members = list.map(({ name }) => name);
        ui.members.replaceChildren(...list.map(({ name }) => {
            const item = document.createElement('li');
            item.textContent = name;
            if (name === nickname)
                item.classList.add('me');
            return item;
        }));
        ui.count.textContent = list.length ? `${list.length}人` : '';
        if (registered && !inRoom && list.length) {
            attempt = 0;
            setInRoom(true);
            setStatus(`「${nickname}」で入室しています。`);
            ui.sayError.textContent = '';
            if (lostAt) {
                log.addMark(`接続が切れていました ${KovaLog.clock(lostAt)}–${KovaLog.clock(new Date())}`, 'gap');
                lostAt = null;
            }
            if (document.activeElement === document.body || ui.room.contains(document.activeElement) === false)
                ui.line.focus();
        }
    }

    function enterRoom(name) {
        setNickname(name);
        ui.join.hidden = true;
        ui.room.hidden = false;
        ui.renameForm.hidden = true;
        attempt = 0;
        connect();
        ui.line.focus();
    }

    function leaveRoom() {
        clearTimeout(retryTimer);
        retryTimer = null;
        const ws = socket;
        socket = null;
        if (ws)
            ws.close(1000);
        setInRoom(false);
        lostAt = null;
        history.replaceState(null, '', location.pathname);
        ui.room.hidden = true;
        ui.join.hidden = false;
        ui.nickname.value = nickname;
        ui.joinError.textContent = '';
        setStatus('退室しました。');
        ui.nickname.focus();
    }

    // ---- The room key, when the gateway has one: asked for before the nickname, kept in localStorage.

    function savedKey() {
        return localStorage.getItem(RoomKeySetting);
    }

    function forgetKey() {
        localStorage.removeItem(RoomKeySetting);
    }

    // The key's UTF-8 in base64url, after the prefix that the gateway looks for.
    function keyProtocol(key) {
        let binary = '';
        for (const byte of new TextEncoder().encode(key))
            binary += String.fromCharCode(byte);
        return `kova-key.${btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '')}`;
    }

    // Shows the key's form alone; name: the nickname to join with once it is given (none: ask for one).
    function askForKey(name, problem) {
        clearTimeout(retryTimer);
        retryTimer = null;
        keyThenJoin = name;
        ui.room.hidden = true;
        ui.join.hidden = true;
        ui.keyForm.hidden = false;
        ui.roomKey.value = '';
        ui.keyError.textContent = problem;
        setStatus(problem || '合言葉を入力してください。');
        ui.roomKey.focus();
    }

    ui.keyForm.addEventListener('submit', (event) => {
        event.preventDefault();
        const key = ui.roomKey.value;
        if (key.length < MinRoomKey) {
            ui.keyError.textContent = `合言葉は${MinRoomKey}文字以上です。`;
            return;
        }
        localStorage.setItem(RoomKeySetting, key);
        ui.roomKey.value = '';
        ui.keyForm.hidden = true;
        if (keyThenJoin) {
            enterRoom(keyThenJoin);
        } else {
            showJoin('', '');
        }
    });

    for (const button of document.querySelectorAll('.forget-key')) {
        button.hidden = !keyRequired;
        button.addEventListener('click', () => {
            forgetKey();
            if (!ui.room.hidden)
                leaveRoom();
            askForKey(null, '');
            setStatus('保存した合言葉を消去しました。');
        });
    }

    function showJoin(name, problem) {
        ui.join.hidden = false;
        ui.nickname.value = name;
        ui.joinError.textContent = problem;
        ui.nickname.focus();
    }

    ui.join.addEventListener('submit', (event) => {
        event.preventDefault();
        const name = typedNickname(ui.nickname, ui.joinError);
        if (name !== null)
            enterRoom(name);
    });

    // ---- Typing: sending, recalling sent lines, completing names.

    ui.say.addEventListener('submit', (event) => {
        event.preventDefault();
        const text = ui.line.value;
        if (!text.trim())
            return;
        const refusal = lineRefusal(text);
        if (refusal) {
            ui.sayError.textContent = refusal;
            return;
        }
        if (!inRoom || !send(text)) {
            ui.sayError.textContent = '接続が切れているため送れませんでした。入力はそのまま残っています。';
            return;
        }
        ui.sayError.textContent = '';
        recalled.push(text);
        if (recalled.length > MaxRecalled)
            recalled.shift();
        recallIndex = recalled.length;
        ui.line.value = '';
    });

    function recall(step) {
        if (recallIndex === recalled.length)
            draft = ui.line.value;
        recallIndex = Math.max(0, Math.min(recalled.length, recallIndex + step));
        ui.line.value = recallIndex === recalled.length ? draft : recalled[recallIndex];
        ui.line.setSelectionRange(ui.line.value.length, ui.line.value.length);
    }

    // Tab after the start of a participant's name completes it; again, the next name that fits. A box without
    // such a start leaves Tab to move the focus.
    function complete() {
        const value = ui.line.value;
        const caret = ui.line.selectionStart;
        if (!completion || ui.line.value !== completion.result) {
            const start = Math.max(value.lastIndexOf(' ', caret - 1), value.lastIndexOf('　', caret - 1)) + 1;
            const prefix = value.slice(start, caret).toLowerCase();
            if (!prefix)
                return false;
            const matches = members.filter((name) => name !== nickname && name.toLowerCase().startsWith(prefix));
            if (!matches.length)
                return false;
            completion = { start, end: caret, matches, index: -1, result: '' };
        }
        completion.index = (completion.index + 1) % completion.matches.length;
        const name = completion.matches[completion.index];
        const before = value.slice(0, completion.start);
        const after = value.slice(completion.end);
        const insert = completion.start === 0 ? `${name}さん ` : `${name} `;
        ui.line.value = before + insert + after;
        completion.end = completion.start + insert.length;
        completion.result = ui.line.value;
        ui.line.setSelectionRange(completion.end, completion.end);
        return true;
    }

    ui.line.addEventListener('keydown', (event) => {
        if (event.isComposing)
            return;
        if (event.key === 'ArrowUp' && recalled.length) {
            event.preventDefault();
            recall(-1);
        } else if (event.key === 'ArrowDown' && recallIndex < recalled.length) {
            event.preventDefault();
            recall(1);
        } else if (event.key === 'Tab' && !event.shiftKey && complete()) {
            event.preventDefault();
        }
    });
    ui.line.addEventListener('input', () => {
        completion = null;
        ui.sayError.textContent = '';
    });

    // ---- Renaming.

    ui.rename.addEventListener('click', () => {
        ui.renameForm.hidden = false;
        ui.renameError.textContent = '';
        ui.newName.value = nickname;
        ui.newName.focus();
        ui.newName.select();
    });

    function closeRename() {
        ui.renameForm.hidden = true;
        ui.line.focus();
    }

    ui.renameForm.addEventListener('submit', (event) => {
        event.preventDefault();
        const name = typedNickname(ui.newName, ui.renameError);
        if (name === null)
            return;
        if (!inRoom || !send(`NAME:${name}`)) {
            ui.renameError.textContent = '接続が切れているため名前を変えられません。再接続してからもう一度どうぞ。';
            return;
        }
        setNickname(name);
        closeRename();
        setStatus(`「${nickname}」で入室しています。`);
    });
    ui.renameCancel.addEventListener('click', closeRename);
    ui.renameForm.addEventListener('keydown', (event) => {
        if (event.key === 'Escape')
            closeRename();
    });

    ui.leave.addEventListener('click', leaveRoom);

    // ---- A line's full time on a long press, as a mouse shows it on hover.

    let pressTimer = null;
    ui.log.addEventListener('pointerdown', (event) => {
        const line = event.target.closest('.text');
        clearTimeout(pressTimer);
        if (line)
            pressTimer = setTimeout(() => line.classList.toggle('show-time'), LongPressMs);
    });
    for (const end of ['pointerup', 'pointercancel', 'pointerleave'])
        ui.log.addEventListener(end, () => clearTimeout(pressTimer));

    // ---- Start.

    restore();
    showUnread();
    const requested = new URLSearchParams(location.search).get('name');
    const name = requested === null ? '' : requested.trim();
    const joinsAtOnce = requested !== null && !nicknameProblem(name);
    if (joinsAtOnce)
        ui.soundHint.hidden = !soundOn(); // joined without a click: sound waits for one
    if (keyRequired && !savedKey())
        askForKey(joinsAtOnce ? name : null, '');
    else if (joinsAtOnce)
        enterRoom(name);
    else
        showJoin(name, requested === null ? '' : nicknameProblem(name));
})();
