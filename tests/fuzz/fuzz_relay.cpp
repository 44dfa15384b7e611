// Drives the relay with arbitrary bytes from arbitrary slots, interleaved with connects, closes, send
// completions, the operator's input and disconnects, and checks that the tables stay consistent and that every
// broadcast reaches every client that is there for it, once and in order.
#include "FakeWinsock.h"
#include "FuzzCheck.h"
#include "Harness.h"

#include <QCoreApplication>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <map>
#include <vector>

using namespace kova;
using kova::fuzz::check;
using namespace kova::test;

namespace {

struct Connection {
    std::size_t firstPossible; // the message being walked when it joined
    std::size_t firstCertain;  // every message from here on must reach it
    std::vector<QString> received;
    bool open = true;
    // A roster went out while it was there: its end must be announced. Otherwise it ends without a trace.
    bool listed = false;
};

class World {
public:
    World()
    {
        check(h.server.OpenServer(), "listener opens");
        h.server.RefreshNameList();
    }

    void run(FuzzedDataProvider& data)
    {
        for (int step = 0; step < 256 && data.remaining_bytes() > 0; ++step) {
            const quint64 producedBefore = h.server.broadcaster().messagesProduced();
            bool mustProduce = false;
            switch (data.ConsumeIntegralInRange(0, 6)) {
            case 0:
                if (const int slot = h.sockets.connect(); slot > 0) {
                    const std::size_t waiting = h.server.broadcaster().queuedMessages();
                    openAt[slot] = connections.size();
                    connections.push_back({produced.size() - waiting, produced.size(), {}});
                }
                break;
            case 1:
                if (const int slot = connectedSlot(data); slot > 0) {
                    const std::string bytes = data.ConsumeRandomLengthString(512);
                    const QString text =
                        h.sockets.receiveBytes(slot, QByteArrayView(bytes.data(), qsizetype(bytes.size())));
                    // A read that decodes to nothing (a held lead byte) is no message, and one space is idle.
                    mustProduce = !text.isEmpty() && text != QStringLiteral(" ");
                    if (mustProduce && !text.contains(QStringLiteral("RNAME:")) &&
                        text.contains(QStringLiteral("NAME:"))) {
                        for (const auto& open : openAt)
                            connections[open.second].listed = true;
                    }
                }
                break;
            case 2:
                if (const int slot = connectedSlot(data); slot > 0) {
                    // The client goes, or the operator disconnects it.
                    if (data.ConsumeBool())
                        h.sockets.peerCloses(slot);
                    else
                        check(h.server.disconnectClient(slot), "the operator disconnects a connected client");
                    connections[openAt.at(slot)].open = false;
                    mustProduce = connections[openAt.at(slot)].listed;
                    openAt.erase(slot);
                }
                break;
            case 3:
                completeOne();
                break;
            case 4: {
                const QString line = QString::fromStdString(data.ConsumeRandomLengthString(64));
                mustProduce = h.server.SendOperatorLine(line);
                check(mustProduce == (!line.isEmpty() && !openAt.empty()), "operator line goes out when it can");
                break;
            }
            case 5:
                h.server.AnnounceNickname(QString::fromStdString(data.ConsumeRandomLengthString(32)));
                mustProduce = true;
                break;
            case 6:
                Q_EMIT h.sockets.errorOccurred(data.ConsumeIntegralInRange(0, 9), 1, QStringLiteral("error"));
                break;
            }
            const quint64 made = h.server.broadcaster().messagesProduced() - producedBefore;
            check(made == (mustProduce ? 1 : 0), "each handled message produces exactly one outgoing message");
            if (made)
                produced.push_back(h.tables.OutMessage);
            collectSends();
            checkTables();
        }
        for (int step = 0; step < 100000 && h.server.broadcaster().isRunning(); ++step)
            completeOne();
        check(!h.server.broadcaster().isRunning(), "every walk ends");
        checkDeliveries();
    }

private:
    int connectedSlot(FuzzedDataProvider& data)
    {
        if (openAt.empty())
            return -1;
        auto it = openAt.begin();
        std::advance(it, data.ConsumeIntegralInRange<std::size_t>(0, openAt.size() - 1));
        return it->first;
    }

    void completeOne()
    {
        if (h.server.broadcaster().isRunning() && !h.sockets.sends.isEmpty())
            h.sockets.completeSend();
        collectSends();
    }

    void collectSends()
    {
        for (; seenSends < h.sockets.sends.size(); ++seenSends) {
            const auto& send = h.sockets.sends.at(seenSends);
            check(openAt.count(send.index) == 1, "sends go to connected clients only");
            connections[openAt.at(send.index)].received.push_back(send.text);
        }
    }

    void checkTables()
    {
        check(h.tables.SlotState.at(0) == SLOT_SERVER, "slot 0 is the server");
        for (int i = 1; i < SlotCount; ++i) {
            const quint8 state = h.tables.SlotState.at(std::size_t(i));
            check(state == SLOT_FREE || state == SLOT_CONNECTED, "client slots are free or connected");
            check((state == SLOT_CONNECTED) == (openAt.count(i) == 1), "slot state follows the connections");
        }
        check(h.server.nameList().size() == SlotCount, "the participant list has ten rows");
        check(h.tables.SendCursor <= SlotCount, "the cursor stays within 0 to 10");
    }

    void checkDeliveries()
    {
        for (const Connection& c : connections) {
            bool matched = false;
            for (std::size_t j = c.firstPossible; j <= c.firstCertain && !matched; ++j) {
                if (j + c.received.size() > produced.size())
                    continue;
                if (!std::equal(c.received.begin(), c.received.end(), produced.begin() + std::ptrdiff_t(j)))
                    continue;
                matched = !c.open || j + c.received.size() == produced.size();
            }
            check(matched, "each client gets every broadcast of its stay, once and in order");
        }
    }

    Harness<FakeWinsock> h;
    std::vector<QString> produced;
    std::vector<Connection> connections;
    std::map<int, std::size_t> openAt; // slot -> its connection
    qsizetype seenSends = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    World world;
    world.run(data);
    return 0;
}
