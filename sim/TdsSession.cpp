#include "TdsSession.h"

#include "Bytes.h"
#include "Executor.h"
#include "Login7.h"
#include "Prelogin.h"
#include "ProcessSelect.h"
#include "Requests.h"
#include "RpcBinding.h"

namespace tdssim {

namespace {

constexpr std::size_t kPreLoginPacketSize = 4096;

ServerMessage loginFailedMessage(const std::string& user) {
    ServerMessage m;
    m.number = 18456;
    m.state = 1;
    m.severity = 14;
    m.text = "Login failed for user '" + user + "'.";
    return m;
}

std::string yesNo(bool b) {
    return b ? "yes" : "no";
}

std::vector<RpcParam> valuesFrom(const std::vector<RpcParam>& params, std::size_t first) {
    if (first >= params.size()) {
        return {};
    }
    return std::vector<RpcParam>(params.begin() + static_cast<std::ptrdiff_t>(first), params.end());
}

} // namespace

TdsSession::TdsSession(ServerState& state, SessionHost& host) : state_(state), host_(host) {}

TdsSession::~TdsSession() {
    onClosed();
}

TokenWriter TdsSession::writer(std::string& out) const {
    TokenWriter tw(out, tds72(), state_.scenario().serverName);
    tw.setCollations(tds71());
    return tw;
}

void TdsSession::onClosed() {
    if (spid_ != 0) {
        state_.detachConnection(spid_);
        spid_ = 0;
    }
    phase_ = Phase::Closed;
    pending_.reset();
    queue_.clear();
}

void TdsSession::onBytes(std::string_view data) {
    if (phase_ == Phase::Closed) {
        return;
    }
    assembler_.feed(data);
    try {
        while (phase_ != Phase::Closed) {
            std::optional<Message> m = assembler_.next();
            if (!m) {
                break;
            }
            handle(std::move(*m));
        }
    } catch (const ProtocolError& e) {
        protocolError(e.what());
    }
}

void TdsSession::protocolError(const std::string& what) {
    host_.log(spid_, "protocol-error", {{"reason", what}});
    host_.closeAfterSend();
    onClosed();
}

void TdsSession::handle(Message m) {
    switch (phase_) {
    case Phase::Prelogin:
        if (m.type == PacketType::Prelogin) {
            handlePrelogin(m.payload);
            return;
        }
        if (m.type == PacketType::Login7) {
            loginWithoutPrelogin(m.payload);
            return;
        }
        throw ProtocolError("expected PRELOGIN or LOGIN7");
    case Phase::Login:
        if (m.type == PacketType::Login7) {
            handleLogin(m.payload);
            return;
        }
        if (m.type == PacketType::Attention) {
            return;
        }
        throw ProtocolError(host_.encryption() == EncryptionMode::Off
                                ? "expected LOGIN7 (a TLS handshake is not supported)"
                                : "expected LOGIN7");
    case Phase::Ready:
        if (m.type == PacketType::Attention) {
            attention();
            return;
        }
        if (m.type != PacketType::SqlBatch && m.type != PacketType::Rpc &&
            m.type != PacketType::TransactionManager) {
            throw ProtocolError("unexpected packet type " + std::to_string(m.type));
        }
        if (pending_) {
            queue_.push_back(std::move(m));
            return;
        }
        handleRequest(std::move(m));
        return;
    case Phase::Closed:
        return;
    }
}

void TdsSession::handlePrelogin(const std::string& payload) {
    using Outcome = EncryptionDecision::Outcome;
    PreloginRequest req = parsePrelogin(payload);
    const EncryptionMode mode = host_.encryption();
    const EncryptionDecision d = negotiateEncryption(mode, req.encryption);
    host_.log(0, "prelogin",
              {{"encryption", req.encryption ? std::to_string(*req.encryption) : ""},
               {"instance_name", req.instance},
               {"answer", std::to_string(d.answer)}});
    sendMessage(buildPreloginReply(d.answer, req.options), kPreLoginPacketSize);
    phase_ = Phase::Login;
    switch (d.outcome) {
    case Outcome::Clear:
        // A client that insists on TLS usually hangs up now, but some log in anyway: the
        // socket's own end is what the log reports.
        host_.log(0, "encryption", {{"mode", "none"}, {"server", encryptionModeName(mode)}});
        return;
    case Outcome::Refuse:
        host_.log(0, "encryption", {{"mode", "refused"}, {"server", encryptionModeName(mode)}});
        host_.closeAfterSend();
        onClosed();
        return;
    case Outcome::LoginOnly:
        host_.startTls(TlsScope::LoginOnly);
        return;
    case Outcome::Everything:
        host_.startTls(TlsScope::Everything);
        return;
    }
}

void TdsSession::loginWithoutPrelogin(const std::string& payload) {
    // No PRELOGIN, so no encryption was negotiated: the login would travel in clear. A
    // server that forces encryption does not serve such a client; it just closes.
    const EncryptionMode mode = host_.encryption();
    if (mode == EncryptionMode::On || mode == EncryptionMode::Required) {
        host_.log(0, "encryption",
                  {{"mode", "refused"},
                   {"server", encryptionModeName(mode)},
                   {"reason", "login without PRELOGIN"}});
        host_.closeAfterSend();
        onClosed();
        return;
    }
    host_.log(0, "encryption", {{"mode", "none"}, {"server", encryptionModeName(mode)}});
    phase_ = Phase::Login;
    handleLogin(payload);
}

void TdsSession::handleLogin(const std::string& payload) {
    Login7 login = parseLogin7(payload);
    tdsVersion_ = agreedTdsVersion(login.tdsVersion);
    host_.log(0, "login",
              {{"user", login.userName},
               {"app", login.appName},
               {"host", login.hostName},
               {"database", login.database},
               {"tds", tdsVersionName(login.tdsVersion)},
               {"packet_size", std::to_string(login.packetSize)},
               {"library", login.libraryName},
               {"server", login.serverName},
               {"language", login.language}});
    Faults& faults = state_.faults();
    if (faults.hangLogin) {
        phase_ = Phase::Closed; // nothing more is ever answered
        return;
    }
    const LoginDef* def = state_.findLogin(login.userName);
    if (login.integratedSecurity) {
        loginFailed(login.userName, "integrated security is not supported");
        return;
    }
    if (faults.rejectLogin) {
        loginFailed(login.userName, "reject-login fault");
        return;
    }
    if (!def || def->password != login.password) {
        loginFailed(login.userName, def ? "wrong password" : "unknown login");
        return;
    }
    const DatabaseDef* db = state_.findDatabase(login.database.empty() ? "master" : login.database);
    if (!db) {
        ServerMessage m;
        m.number = 4060;
        m.state = 1;
        m.severity = 11;
        m.text = "Cannot open database \"" + login.database +
                 "\" requested by the login. The login failed.";
        loginFailed(login.userName, "unknown database", m);
        return;
    }
    SessionDef row;
    row.login = def->name;
    row.host = login.hostName;
    row.program = login.appName;
    row.dbid = db->id;
    row.status = "sleeping";
    row.command = "AWAITING COMMAND";
    row.memory = 2;
    row.eventType = "No Event";
    spid_ = state_.attachConnection(row);
    if (spid_ == 0) {
        ServerMessage m;
        m.number = 17809;
        m.state = 1;
        m.severity = 20;
        m.text = "Could not connect because the maximum number of user connections has already "
                 "been reached.";
        loginFailed(login.userName, "no free SPID", m);
        return;
    }
    login_ = def;
    std::size_t wanted = login.packetSize == 0 ? 4096 : login.packetSize;
    wanted = std::clamp<std::size_t>(wanted, 512, 32767);

    std::string out;
    TokenWriter tw = writer(out);
    ServerMessage info;
    info.severity = 0;
    tw.envChange(1, db->name, "master");
    info.number = 5701;
    info.state = 2;
    info.text = "Changed database context to '" + db->name + "'.";
    tw.info(info);
    // Also towards TDS 7.0, whose columns carry none: SQL Server 2000 sends it to every
    // client, and 7.0 clients take their character set from it.
    tw.envChangeCollation();
    tw.envChange(2, "us_english", "");
    info.number = 5703;
    info.state = 1;
    info.text = "Changed language setting to us_english.";
    tw.info(info);
    tw.loginAck(loginAckVersion(tdsVersion_));
    tw.envChange(4, std::to_string(wanted), std::to_string(packetSize_));
    tw.done(DoneStatus::Final, 0, 0);
    sendMessage(out, kPreLoginPacketSize);
    packetSize_ = wanted;
    phase_ = Phase::Ready;
    host_.log(spid_, "login-ok",
              {{"user", def->name}, {"sysadmin", yesNo(def->sysadmin)}, {"database", db->name}});
}

void TdsSession::loginFailed(const std::string& user, const std::string& reason,
                             const std::optional<ServerMessage>& extra) {
    std::string out;
    TokenWriter tw = writer(out);
    if (extra) {
        tw.error(*extra);
    }
    tw.error(loginFailedMessage(user));
    tw.done(DoneStatus::Error, 0, 0);
    sendMessage(out, kPreLoginPacketSize);
    host_.log(0, "login-failed", {{"user", user}, {"reason", reason}});
    host_.closeAfterSend();
    onClosed();
}

void TdsSession::noteRequest(const Message& m) {
    SessionDef* row = state_.connectionRow(spid_);
    if (m.type != PacketType::TransactionManager) {
        state_.noteBatch(spid_);
    }
    try {
        if (m.type == PacketType::SqlBatch) {
            SqlBatch batch = parseSqlBatch(m.payload, tds72());
            host_.log(spid_, "batch", {{"text", batch.text}});
            if (row) {
                row->inputBuffer = batch.text;
                row->eventType = "Language Event";
                row->cpu += 1;
            }
        } else if (m.type == PacketType::Rpc) {
            std::vector<RpcCall> calls = parseRpc(m.payload, tds72(), tds71());
            for (const RpcCall& c : calls) {
                std::string text;
                for (const RpcParam& p : c.params) {
                    if (p.textValue &&
                        (c.procId == ProcId::PrepExec || c.procId == ProcId::Prepare ||
                         c.procId == ProcId::ExecuteSql)) {
                        text = *p.textValue; // the last text parameter of these is the statement
                    }
                }
                if (c.procId == ProcId::ExecuteSql && !c.params.empty() && c.params[0].textValue) {
                    text = *c.params[0].textValue;
                }
                if (c.procId == ProcId::Execute && !c.params.empty() && c.params[0].intValue) {
                    auto it = prepared_.find(static_cast<std::int32_t>(*c.params[0].intValue));
                    if (it != prepared_.end()) {
                        text = it->second.statement;
                    }
                }
                host_.log(spid_, "rpc",
                          {{"proc", c.procName},
                           {"params", std::to_string(c.params.size())},
                           {"text", text}});
                if (row && !text.empty()) {
                    row->inputBuffer = text;
                    row->eventType = "RPC Event";
                }
            }
            if (row) {
                row->cpu += 1;
            }
        } else {
            TmRequest tm = parseTmRequest(m.payload, tds72());
            host_.log(spid_, "transaction", {{"request", std::to_string(tm.type)}});
        }
    } catch (const ProtocolError&) {
        // respond() reports it; the note is only for the log and the input buffer.
    }
}

void TdsSession::handleRequest(Message m) {
    noteRequest(m);
    Faults& faults = state_.faults();
    if (m.type == PacketType::TransactionManager) {
        respond(m); // faults concern statements; transaction requests come at login too
        return;
    }
    if (faults.malformed) {
        sendMalformed();
        return;
    }
    if (faults.hang) {
        pending_ = std::move(m);
        return;
    }
    if (faults.delayMs > 0) {
        pending_ = std::move(m);
        host_.startTimer(std::chrono::milliseconds(faults.delayMs));
        return;
    }
    respond(m);
}

void TdsSession::onTimer() {
    if (!pending_ || phase_ != Phase::Ready) {
        return;
    }
    Message m = std::move(*pending_);
    pending_.reset();
    try {
        respond(m);
        drainQueue();
    } catch (const ProtocolError& e) {
        protocolError(e.what());
    }
}

void TdsSession::drainQueue() {
    while (!pending_ && !queue_.empty() && phase_ == Phase::Ready) {
        Message next = std::move(queue_.front());
        queue_.pop_front();
        handleRequest(std::move(next));
    }
}

void TdsSession::respond(const Message& m) {
    std::string out;
    TokenWriter tw = writer(out);
    bool rows = false;
    if (m.type == PacketType::SqlBatch) {
        respondBatch(tw, m.payload, rows);
    } else if (m.type == PacketType::Rpc) {
        respondRpc(tw, m.payload, rows);
    } else {
        respondTm(tw, m.payload);
    }
    if (phase_ != Phase::Ready) {
        return;
    }
    if (rows && state_.faults().drop) {
        std::string framed;
        appendPackets(framed, PacketType::Reply, out, packetSize_,
                      static_cast<std::uint16_t>(spid_), packetId_);
        framed.resize(framed.size() / 2);
        host_.log(spid_, "fault",
                  {{"fault", "drop"}, {"sent_bytes", std::to_string(framed.size())}});
        host_.send(std::move(framed));
        host_.closeAfterSend();
        onClosed();
        return;
    }
    sendMessage(out, packetSize_);
}

void TdsSession::respondBatch(TokenWriter& tw, const std::string& payload, bool& rows) {
    SqlBatch batch = parseSqlBatch(payload, tds72());
    SessionContext ctx{state_, spid_, *login_, &transaction_};
    StatementResult r = executeBatch(tw, ctx, batch.text, false, Clock::now());
    rows = r.rows;
}

void TdsSession::respondRpc(TokenWriter& tw, const std::string& payload, bool& rows) {
    std::vector<RpcCall> calls = parseRpc(payload, tds72(), tds71());
    SessionContext ctx{state_, spid_, *login_, &transaction_};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const RpcCall& c = calls[i];
        const bool last = i + 1 == calls.size();
        std::uint16_t more = last ? 0 : DoneStatus::More;
        auto text = [&](std::size_t k) -> std::string {
            return k < c.params.size() && c.params[k].textValue ? *c.params[k].textValue : "";
        };
        bool failed = false;
        std::optional<std::int32_t> handleOut;
        switch (c.procId) {
        case ProcId::PrepExec:
        case ProcId::Prepare: {
            std::int32_t handle = nextHandle_++;
            prepared_[handle] = Prepared{text(2), text(1)};
            handleOut = handle;
            if (c.procId == ProcId::PrepExec) {
                StatementResult r =
                    executeBatch(tw, ctx, bindParameters(text(2), text(1), valuesFrom(c.params, 3)),
                                 true, Clock::now());
                rows = rows || r.rows;
                failed = r.failed;
            }
            break;
        }
        case ProcId::Execute: {
            std::int32_t handle = !c.params.empty() && c.params[0].intValue
                                      ? static_cast<std::int32_t>(*c.params[0].intValue)
                                      : 0;
            auto it = prepared_.find(handle);
            if (it == prepared_.end()) {
                ServerMessage m;
                m.number = 8179;
                m.state = 4;
                m.severity = 16;
                m.text =
                    "Could not find prepared statement with handle " + std::to_string(handle) + ".";
                sendError(tw, m, true);
                failed = true;
            } else {
                StatementResult r =
                    executeBatch(tw, ctx,
                                 bindParameters(it->second.statement, it->second.declarations,
                                                valuesFrom(c.params, 1)),
                                 true, Clock::now());
                rows = rows || r.rows;
                failed = r.failed;
            }
            break;
        }
        case ProcId::ExecuteSql: {
            StatementResult r =
                executeBatch(tw, ctx, bindParameters(text(0), text(1), valuesFrom(c.params, 2)),
                             true, Clock::now());
            rows = rows || r.rows;
            failed = r.failed;
            break;
        }
        case ProcId::Unprepare:
            if (!c.params.empty() && c.params[0].intValue) {
                prepared_.erase(static_cast<std::int32_t>(*c.params[0].intValue));
            }
            break;
        default: {
            if (isSpWhoName(c.procName)) {
                SpWhoCall call;
                if (!c.params.empty() && c.params[0].intValue) {
                    call.spid = c.params[0].intValue;
                } else if (!c.params.empty() && c.params[0].textValue) {
                    call.text = c.params[0].textValue;
                }
                StatementResult r = answerSpWho(tw, ctx, call, Ending::InProc, false, Clock::now());
                rows = rows || r.rows;
                break;
            }
            ServerMessage m;
            m.number = 2812;
            m.state = 62;
            m.severity = 16;
            m.text = "Could not find stored procedure '" + c.procName + "'.";
            tw.error(m);
            failed = true;
            break;
        }
        }
        tw.returnStatus(failed ? -6 : 0);
        if (handleOut) {
            std::string name = c.params.empty() ? "" : c.params[0].name;
            tw.returnValueInt(0, name, *handleOut);
        }
        tw.doneProc(static_cast<std::uint16_t>(more | (failed ? DoneStatus::Error : 0)), 0, 0);
    }
}

void TdsSession::respondTm(TokenWriter& tw, const std::string& payload) {
    TmRequest tm = parseTmRequest(payload, tds72());
    SessionDef* row = state_.connectionRow(spid_);
    switch (tm.type) {
    case TmType::Begin:
        transaction_.current = transaction_.next++;
        tw.envChangeBeginTransaction(transaction_.current);
        break;
    case TmType::Commit:
    case TmType::Rollback:
        tw.envChangeEndTransaction(tm.type == TmType::Commit ? 9 : 10, transaction_.current);
        transaction_.current = 0;
        if (tm.beginAfter) {
            transaction_.current = transaction_.next++;
            tw.envChangeBeginTransaction(transaction_.current);
        }
        break;
    default:
        break;
    }
    if (row) {
        // An open transaction that has done nothing yet still counts, as with BEGIN TRAN.
        row->openTran = transaction_.current != 0 ? 1 : 0;
    }
    tw.done(DoneStatus::Final, 0, 0);
}

void TdsSession::attention() {
    host_.log(spid_, "attention", {{"pending", yesNo(pending_.has_value())}});
    std::string out;
    TokenWriter tw = writer(out);
    if (pending_) {
        // End the cancelled request's reply first, then acknowledge the attention on its own.
        host_.stopTimer();
        pending_.reset();
        tw.done(DoneStatus::Final, 0, 0);
        sendMessage(out, packetSize_);
        out.clear();
    }
    tw.done(DoneStatus::Attention, 0, 0);
    sendMessage(out, packetSize_);
    drainQueue();
}

void TdsSession::sendMessage(const std::string& payload, std::size_t packetSize) {
    std::string framed;
    appendPackets(framed, PacketType::Reply, payload, packetSize, static_cast<std::uint16_t>(spid_),
                  packetId_);
    host_.send(std::move(framed));
}

void TdsSession::sendMalformed() {
    // A header whose length is shorter than the header itself, then some junk.
    std::string bad("\x04\x01\x00\x05\x00\x00\x01\x00\xDE\xAD\xBE", 11);
    host_.log(spid_, "fault", {{"fault", "malformed"}});
    host_.send(std::move(bad));
    // Nothing sensible can follow; closing keeps clients that trust the length from hanging.
    host_.closeAfterSend();
    onClosed();
}

} // namespace tdssim
