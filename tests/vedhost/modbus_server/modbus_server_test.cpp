// The server's loop over real loopback sockets: what one client does (a
// malformed frame, a flood of connections, a budget spent, replies it never
// reads, silence) costs that client and leaves the others served; writes are
// answered once their outcome comes back from the line.
#include "modbus_server/modbus_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "../../support/loopback_client.h"
#include "modbus_server/register_map.h"

namespace vedhost {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A client connection from `from` (any 127.x.y.z address is this machine).
class Client : public testnet::LoopbackClient {
  public:
    using LoopbackClient::LoopbackClient;
    // One read of register 0 (count 1) of `unit`, answered in 11 bytes.
    Bytes readOne(std::uint16_t transaction = 1, std::uint8_t unit = 1) const {
        send(readRequest(transaction, unit));
        return receive(11);
    }
    static Bytes readRequest(std::uint16_t transaction, std::uint8_t unit = 1) {
        return {static_cast<std::uint8_t>(transaction >> 8),
                static_cast<std::uint8_t>(transaction),
                0,
                0,
                0,
                6,
                unit,
                3,
                0,
                0,
                0,
                1};
    }

};

const Bytes kReadAnswer = {0, 1, 0, 0, 0, 5, 1, 3, 2, 0x09, 0x01};

// Writes the test carries out itself, as a line thread would.
struct Line {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<Request, ModbusServer::Done>> writes;

    void run(unsigned, const Request& request, ModbusServer::Done done) {
        std::lock_guard<std::mutex> lock(mutex);
        writes.emplace_back(request, std::move(done));
        changed.notify_all();
    }
    // The next write handed on, within 5 s.
    std::optional<std::pair<Request, ModbusServer::Done>> next() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, 5s, [&] { return !writes.empty(); })) return std::nullopt;
        auto w = std::move(writes.front());
        writes.pop_front();
        return w;
    }
};

class Server : public ::testing::Test {
  protected:
    void start(ModbusServerOptions options = {}) {
        options.listen = "127.0.0.1:0";
        std::vector<std::uint8_t> record(kRecordBytes, 0);
        record[4] = 0x01;
        record[5] = 0x09;
        meters_.round(1, record.data(), record.size());
        server_ = std::make_unique<ModbusServer>(
            options, meters_,
            [this](unsigned id, const Request& r, ModbusServer::Done d) {
                line_.run(id, r, std::move(d));
            },
            [this](const WriteAudit& a) {
                std::lock_guard<std::mutex> lock(auditMutex_);
                audits_.push_back(a);
            });
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
    }
    int port() const { return server_->port(); }
    std::vector<WriteAudit> audits() {
        std::lock_guard<std::mutex> lock(auditMutex_);
        return audits_;
    }

    ServedMeters meters_{{{1, 1}}, {{1, 6008, 6017}}, 60s};
    Line line_;
    std::mutex auditMutex_;
    std::vector<WriteAudit> audits_;
    std::unique_ptr<ModbusServer> server_;
};

TEST_F(Server, AnswersPipelinedRequestsInOrder) {
    start();
    Client c(port());
    Bytes both = Client::readRequest(7);
    const Bytes second = Client::readRequest(8);
    both.insert(both.end(), second.begin(), second.end());
    // Sent a byte at a time: frames are found however the stream is cut.
    for (std::uint8_t b : both) c.send({b});
    const Bytes got = c.receive(22);
    ASSERT_EQ(got.size(), 22u);
    EXPECT_EQ(got[1], 7);
    EXPECT_EQ(got[12], 8);
}

TEST_F(Server, AMalformedFrameClosesOnlyItsConnection) {
    start();
    const struct {
        const char* name;
        Bytes frame;
    } cases[] = {
        {"protocol id 1", {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}},
        {"length 0", {0, 1, 0, 0, 0, 0}},
        {"length 300", {0, 1, 0, 0, 1, 44, 1, 3}},
        {"a read one byte long", {0, 1, 0, 0, 0, 7, 1, 3, 0, 0, 0, 1, 0}},
    };
    Client other(port());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client hostile(port());
        hostile.send(c.frame);
        EXPECT_TRUE(hostile.closedByServer());
        EXPECT_EQ(other.readOne(), kReadAnswer);
    }
    EXPECT_EQ(server_->counts().malformed, 4);
}

TEST_F(Server, ConnectionsAreCappedInAllAndPerClientAddress) {
    ModbusServerOptions o;
    o.connections = 6;
    o.connectionsPerClient = 3;
    start(o);
    std::vector<std::unique_ptr<Client>> mine;
    for (int i = 0; i < 3; ++i) {
        mine.push_back(std::make_unique<Client>(port(), "127.0.0.1"));
        EXPECT_EQ(mine.back()->readOne(), kReadAnswer);
    }
    // A fourth from the same address is turned away; another address is not.
    Client fourth(port(), "127.0.0.1");
    EXPECT_TRUE(fourth.closedByServer());
    Client elsewhere(port(), "127.0.0.2");
    EXPECT_EQ(elsewhere.readOne(), kReadAnswer);
    Client more1(port(), "127.0.0.3"), more2(port(), "127.0.0.4");
    EXPECT_EQ(more2.readOne(), kReadAnswer);
    // Six open: the next, from anywhere, is turned away.
    Client seventh(port(), "127.0.0.5");
    EXPECT_TRUE(seventh.closedByServer());
    EXPECT_EQ(server_->counts().turnedAway, 2);
    // A connection that goes makes room.
    mine.pop_back();
    // Until the server has seen it go, a new one is still turned away.
    std::unique_ptr<Client> again;
    for (int tries = 0; tries < 100; ++tries) {
        again = std::make_unique<Client>(port(), "127.0.0.1");
        if (again->readOne() == kReadAnswer) break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(again->readOne(), kReadAnswer);
}

TEST_F(Server, AThousandConnectionsLeaveTheServedClientServed) {
    ModbusServerOptions o;
    o.connectionsPerClient = 8;
    start(o);
    // A thousand sockets of the test's own, beside the rest.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
    Client served(port(), "127.0.0.2");
    std::vector<std::unique_ptr<Client>> flood;
    for (int i = 0; i < 1000; ++i) flood.push_back(std::make_unique<Client>(port()));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(served.readOne(), kReadAnswer);
    EXPECT_LE(server_->counts().open, 9);
}

TEST_F(Server, AClientOverItsRequestBudgetWaitsItsTurn) {
    ModbusServerOptions o;
    o.requestsPerSecond = 20;  // a burst of 20, then one each 50 ms
    start(o);
    Client greedy(port());
    Bytes all;
    for (int i = 0; i < 30; ++i) {
        const Bytes r = Client::readRequest(static_cast<std::uint16_t>(i));
        all.insert(all.end(), r.begin(), r.end());
    }
    const auto before = std::chrono::steady_clock::now();
    greedy.send(all);
    EXPECT_EQ(greedy.receive(30 * 11, 10000ms).size(), 30u * 11);
    // Ten past the burst, 50 ms apart.
    EXPECT_GE(std::chrono::steady_clock::now() - before, 400ms);
    // Another address has its own budget.
    Client other(port(), "127.0.0.2");
    EXPECT_EQ(other.readOne(), kReadAnswer);
}

TEST_F(Server, AClientThatNeverReadsItsRepliesCostsOnlyItself) {
    ModbusServerOptions o;
    o.requestsPerSecond = 1e6;  // the budget out of the way
    start(o);
    // 60000 reads of 120 registers, 15 MB of replies, more than the sockets'
    // buffers hold, to a client that never reads them.
    Client deaf(port(), "127.0.0.1", 4096);
    Bytes many;
    for (int i = 0; i < 60000; ++i) {
        const Bytes r = {static_cast<std::uint8_t>(i >> 8),
                         static_cast<std::uint8_t>(i),
                         0,
                         0,
                         0,
                         6,
                         1,
                         3,
                         0x05,
                         0x78,
                         0,
                         120};
        many.insert(many.end(), r.begin(), r.end());
    }
    std::thread flood([&] { deaf.send(many); });
    Client other(port(), "127.0.0.2");
    for (int i = 0; i < 20; ++i) EXPECT_EQ(other.readOne(), kReadAnswer);
    // The server stops taking its requests once its replies pile up.
    long before = -1;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (server_->counts().requests != before && std::chrono::steady_clock::now() < until) {
        before = server_->counts().requests;
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_LT(server_->counts().requests, 30000);
    server_->stop();  // closes the deaf client's connection, so its sender ends
    flood.join();
}

TEST_F(Server, IdleConnectionsAreClosed) {
    ModbusServerOptions o;
    o.idleSeconds = 0.2;
    start(o);
    Client quiet(port());
    Client truncated(port());
    truncated.send({0, 1, 0, 0, 0});  // a header that never ends
    EXPECT_TRUE(quiet.closedByServer(3000ms));
    EXPECT_TRUE(truncated.closedByServer(3000ms));
    EXPECT_EQ(server_->counts().idleClosed, 2);
}

TEST_F(Server, AWriteIsAnsweredWithItsOutcomeAndAudited) {
    start();
    Client c(port());
    Client reader(port());
    const struct {
        WriteOutcome outcome;
        Bytes answer;
    } cases[] = {
        {WriteOutcome::Acknowledged, {0, 5, 0, 0, 0, 6, 1, 6, 0x17, 0x78, 0, 2}},
        {WriteOutcome::Refused, {0, 5, 0, 0, 0, 3, 1, 0x86, 4}},
        {WriteOutcome::NoReply, {0, 5, 0, 0, 0, 3, 1, 0x86, 11}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(outcomeText(k.outcome));
        c.send({0, 5, 0, 0, 0, 6, 1, 6, 0x17, 0x78, 0, 2});
        auto write = line_.next();
        ASSERT_TRUE(write);
        EXPECT_EQ(write->first.address, 6008);
        EXPECT_EQ(write->first.values, (std::vector<std::uint16_t>{2}));
        // Nothing is answered before the outcome; other clients go on reading.
        EXPECT_TRUE(c.receive(1, 100ms).empty());
        EXPECT_EQ(reader.readOne(), kReadAnswer);
        std::thread([done = std::move(write->second), o = k.outcome] { done(o); }).join();
        EXPECT_EQ(c.receive(k.answer.size()), k.answer);
    }
    // A refused write is answered at once and never reaches the line.
    c.send({0, 6, 0, 0, 0, 6, 1, 6, 0x17, 0x70, 0, 1});
    EXPECT_EQ(c.receive(9), (Bytes{0, 6, 0, 0, 0, 3, 1, 0x86, 1}));
    const auto audited = audits();
    ASSERT_EQ(audited.size(), 4u);
    EXPECT_EQ(audited[0].outcome, WriteOutcome::Acknowledged);
    EXPECT_EQ(audited[0].client, "127.0.0.1");
    EXPECT_EQ(audited[0].dataId, 1u);
    EXPECT_EQ(audited[2].outcome, WriteOutcome::NoReply);
    EXPECT_EQ(audited[3].outcome, WriteOutcome::NotAllowed);
    EXPECT_EQ(audited[3].request.address, 6000);
}

TEST_F(Server, AnOutcomeForAClientThatLeftIsStillAudited) {
    start();
    std::optional<std::pair<Request, ModbusServer::Done>> write;
    {
        Client c(port());
        c.send({0, 5, 0, 0, 0, 6, 1, 6, 0x17, 0x78, 0, 2});
        write = line_.next();
        ASSERT_TRUE(write);
    }
    write->second(WriteOutcome::Acknowledged);
    Client other(port());
    EXPECT_EQ(other.readOne(), kReadAnswer);
    ASSERT_EQ(audits().size(), 1u);
    // An outcome after the server has gone is dropped quietly.
    Client c(port());
    c.send({0, 5, 0, 0, 0, 6, 1, 6, 0x17, 0x78, 0, 2});
    write = line_.next();
    ASSERT_TRUE(write);
    server_.reset();
    write->second(WriteOutcome::Acknowledged);
}

}  // namespace
}  // namespace vedhost
