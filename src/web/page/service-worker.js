'use strict';

// The page's service worker: it lets the page be installed, keeps the page's own files for a start without
// the network, and brings the page to the front when one of its notifications is clicked. The chat itself
// (the WebSocket at /chat) never passes through it, and nothing else is kept.
const Cache = 'kova-page';
const PageFiles = ['/', '/kova.css', '/stream.js', '/log.js', '/notify.js', '/kova.js', '/manifest.webmanifest',
    '/icon.png', '/icon-unread.png', '/icon-mention.png', '/favicon.ico', '/heart-192.png', '/heart-512.png'];

self.addEventListener('install', (event) => {
    event.waitUntil(caches.open(Cache).then((cache) => cache.addAll(PageFiles)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
    event.waitUntil(caches.keys()
        .then((names) => Promise.all(names.filter((name) => name !== Cache).map((name) => caches.delete(name))))
        .then(() => self.clients.claim()));
});

// The gateway first, so that a new version is used at once; what was kept only when it cannot be reached.
// "/?name=…" is the page "/".
self.addEventListener('fetch', (event) => {
    const url = new URL(event.request.url);
    if (event.request.method !== 'GET' || url.origin !== self.location.origin || !PageFiles.includes(url.pathname))
        return;
    event.respondWith((async () => {
        const cache = await caches.open(Cache);
        try {
            const response = await fetch(event.request);
            if (response.ok)
                await cache.put(url.pathname, response.clone());
            return response;
        } catch (error) {
            const kept = await cache.match(url.pathname);
            if (kept)
                return kept;
            throw error;
        }
    })());
});

self.addEventListener('notificationclick', (event) => {
    event.notification.close();
    event.waitUntil((async () => {
        const pages = await self.clients.matchAll({ type: 'window', includeUncontrolled: true });
        const page = pages.find((client) => new URL(client.url).pathname === '/');
        if (page)
            return page.focus();
        return self.clients.openWindow(event.notification.data?.url ?? '/');
    })());
});
