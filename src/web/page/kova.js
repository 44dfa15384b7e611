'use strict';

// The chat page: joins the chat server through the gateway's WebSocket, shows what the server sends and sends
// what is typed. Received text reaches the page only through textContent.
(() => {
    const $ = (id) => document.getElementById(id);
    const ui = {
        status: $('status'),
        join: $('join'),
        nickname: $('nickname'),
        joinError: $('join-error'),
        room: $('room'),
        log: $('log'),
        members: $('members'),
        count: $('member-count'),
        say: $('say'),
        line: $('line'),
        send: $('send'),
        rename: $('rename'),
        leave: $('leave'),
        renameForm: $('rename-form'),
        newName: $('new-name'),
        renameError: $('rename-error'),
        renameCancel: $('rename-cancel'),
    };

    const MaxLogEntries = 500;
    const MaxNickname = 20;
    const BackoffSeconds = [1, 2, 4, 8, 15, 30];
    // The gateway's reasons for closing, as its close codes say.
    const CloseServerClosed = 4000;
    const CloseServerUnreachable = 4001;
    const CloseRoomFull = 4002;

    let nickname = '';
    let socket = null;
    let registered = false; // NAME: was sent on this connection
    let inRoom = false;     // the server answered it with a roster
    let attempt = 0;
    let retryTimer = null;
    let openLine = null;    // the element of the chat line that may still grow

    const stream = new KovaStream({
        line: addLine,
        lineText: (text) => {
            if (openLine) {
                const follow = atBottom();
                openLine.textContent = text;
                keepBottom(follow);
            }
        },
        joined: (name) => addNotice(`${name}さんが来ました。`),
        left: (name) => addNotice(`${name}さんが帰りました。`),
        members: showMembers,
    });

    function setStatus(text) {
        ui.status.textContent = text;
    }

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

    function rememberName() {
        history.replaceState(null, '', `${location.pathname}?name=${encodeURIComponent(nickname)}`);
    }

    function send(text) {
        if (socket && socket.readyState === WebSocket.OPEN)
            socket.send(JSON.stringify({ type: 'send', text }));
    }

    function setInRoom(value) {
        inRoom = value;
        ui.line.disabled = !value;
        ui.send.disabled = !value;
    }

    function connect() {
        clearTimeout(retryTimer);
        stream.reset();
        openLine = null;
        registered = false;
        setInRoom(false);
        setStatus('接続しています…');
        const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
        const ws = new WebSocket(`${scheme}//${location.host}/chat`);
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
                stream.feed(message.text);
            }
        };
        ws.onclose = (event) => {
            if (ws === socket)
                connectionLost(event);
        };
    }

    function connectionLost(event) {
        const wasInRoom = inRoom;
        socket = null;
        setInRoom(false);
        showMembers([]);
        let why;
        switch (event.code) {
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
            addNotice(why);
        const delay = BackoffSeconds[Math.min(attempt, BackoffSeconds.length - 1)];
        ++attempt;
        setStatus(`${why}${delay}秒後に${event.code === CloseRoomFull ? 'もう一度入室を試みます' : '再接続します'}。`);
        retryTimer = setTimeout(connect, delay * 1000);
    }

    function atBottom() {
        return ui.log.scrollHeight - ui.log.scrollTop - ui.log.clientHeight < 40;
    }

    function keepBottom(follow) {
        if (follow)
            ui.log.scrollTop = ui.log.scrollHeight;
    }

    function append(element) {
        const follow = atBottom();
        ui.log.append(element);
        while (ui.log.childElementCount > MaxLogEntries)
            ui.log.firstElementChild.remove();
        keepBottom(follow);
    }

    function clock() {
        const now = new Date();
        return `${String(now.getHours()).padStart(2, '0')}:${String(now.getMinutes()).padStart(2, '0')}`;
    }

    // Lines of one speaker in a row stand under one heading with the speaker's name.
    function addLine(speaker, text) {
        const last = ui.log.lastElementChild;
        const paragraph = document.createElement('p');
        paragraph.className = 'text';
        paragraph.textContent = text;
        openLine = paragraph;
        if (last && last.classList.contains('group') && last.dataset.speaker === String(speaker)) {
            const follow = atBottom();
            last.append(paragraph);
            keepBottom(follow);
            return;
        }
        const group = document.createElement('div');
        group.className = 'group';
        group.dataset.speaker = String(speaker);
        if (speaker !== null) {
            const head = document.createElement('div');
            head.className = 'speaker';
            const name = document.createElement('span');
            name.className = 'name';
            name.textContent = speaker;
            if (speaker === nickname)
                group.classList.add('mine');
            const time = document.createElement('span');
            time.className = 'time';
            time.textContent = clock();
            head.append(name, time);
            group.append(head);
        }
        group.append(paragraph);
        append(group);
    }

    function addNotice(text) {
        const notice = document.createElement('p');
        notice.className = 'notice';
        notice.textContent = text;
        openLine = null;
        append(notice);
    }

    function showMembers(list) {
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
            if (document.activeElement === document.body || ui.room.contains(document.activeElement) === false)
                ui.line.focus();
        }
    }

    function enterRoom(name) {
        nickname = name;
        rememberName();
        ui.join.hidden = true;
        ui.room.hidden = false;
        ui.renameForm.hidden = true;
        attempt = 0;
        connect();
        ui.line.focus();
    }

    function leaveRoom() {
        clearTimeout(retryTimer);
        const ws = socket;
        socket = null;
        if (ws)
            ws.close(1000);
        setInRoom(false);
        history.replaceState(null, '', location.pathname);
        ui.room.hidden = true;
        ui.join.hidden = false;
        ui.nickname.value = nickname;
        ui.joinError.textContent = '';
        setStatus('退室しました。');
        ui.nickname.focus();
    }

    ui.join.addEventListener('submit', (event) => {
        event.preventDefault();
        const name = typedNickname(ui.nickname, ui.joinError);
        if (name !== null)
            enterRoom(name);
    });

    ui.say.addEventListener('submit', (event) => {
        event.preventDefault();
        const text = ui.line.value;
        if (!inRoom || !text.trim())
            return;
        if (lineRefusal(text)) {
            setStatus(lineRefusal(text));
            return;
        }
        send(text);
        ui.line.value = '';
    });

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
        nickname = name;
        rememberName();
        send(`NAME:${name}`);
        closeRename();
        setStatus(`「${nickname}」で入室しています。`);
    });
    ui.renameCancel.addEventListener('click', closeRename);
    ui.renameForm.addEventListener('keydown', (event) => {
        if (event.key === 'Escape')
            closeRename();
    });

    ui.leave.addEventListener('click', leaveRoom);

    const requested = new URLSearchParams(location.search).get('name');
    const name = requested === null ? '' : requested.trim();
    if (requested !== null && !nicknameProblem(name)) {
        enterRoom(name);
    } else {
        ui.join.hidden = false;
        ui.nickname.value = name;
        ui.joinError.textContent = requested === null ? '' : nicknameProblem(name);
        ui.nickname.focus();
    }
})();
