// The reply path: encodes texts, queues frames on the message server, schedules closes.
// Called from request workers, the scheduler thread and the window thread.
#include "lobby/NetMesg.h"

#include <exception>
#include <mutex>

#include "platform/AppLog.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace tessil {

TNetMesg::TNetMesg(IMsgTransport* svr, Scheduler& scheduler)
    : state_(std::make_shared<State>()), scheduler_(scheduler) {
    state_->svr = svr;
}

TNetMesg::~TNetMesg() {
    Detach();
}

void TNetMesg::Detach() {
    std::unique_lock<std::shared_mutex> lock(state_->guard);
    state_->svr = nullptr;
}

bool TNetMesg::IsValidNet() const {
    std::shared_lock<std::shared_mutex> lock(state_->guard);
    return state_->svr != nullptr && state_->svr->IsActive();
}

void TNetMesg::Tessil_SendString(std::string_view text, const TClientRecPtr& client) {
    if (!client) return;
    try {
        std::shared_lock<std::shared_mutex> lock(state_->guard);
        if (state_->svr == nullptr || !state_->svr->IsActive()) return;
        state_->svr->SendString(EncodeStr(text), client);
    } catch (const std::exception& e) {
        filelog::Write("Tessil_SendString", e.what());
    }
}

void TNetMesg::ChargeReply(const TClientRecPtr& client, uint64_t bytes) {
    if (!client) return;
    std::shared_lock<std::shared_mutex> lock(state_->guard);
    if (state_->svr != nullptr) state_->svr->ChargeReply(client, bytes);
}

std::shared_ptr<const std::string> TNetMesg::MakeFrame(std::string_view text) {
    // Header and Base64 body in one buffer, encoded in place (the append reserves it).
    auto frame = std::make_shared<std::string>(kHeaderSize, '\0');
    Base64EncodeAppend(*frame, text);
    TMsgHeader{static_cast<uint32_t>(frame->size() - kHeaderSize), mtData}.EncodeTo(frame->data());
    return frame;
}

void TNetMesg::SendFrame(const std::shared_ptr<const std::string>& frame,
                         const TClientRecPtr& client) {
    if (client) Fanout(this, frame).To(client);
}

TNetMesg::Fanout::Fanout(const TNetMesg* net, std::shared_ptr<const std::string> frame)
    : frame_(std::move(frame)) {
    if (net == nullptr || !frame_) return;
    lock_ = std::shared_lock<std::shared_mutex>(net->state_->guard);
    if (net->state_->svr != nullptr && net->state_->svr->IsActive()) svr_ = net->state_->svr;
}

void TNetMesg::Fanout::To(const TClientRecPtr& client) {
    if (svr_ == nullptr || !client) return;
    try {
        svr_->SendFrame(frame_, client);
    } catch (const std::exception& e) {
        filelog::Write("Tessil_SendString", e.what());
    }
}

void TNetMesg::Tessil_Disconnect_Client(const TClientRecPtr& client, int32_t pause) {
    if (!client || !IsValidNet()) return;
    // The entry holds the state, not this object: it may run after the object is gone,
    // and then finds no server.
    scheduler_.ScheduleAfter(pause < 1 ? 1 : pause, [state = state_, client] {
        try {
            std::shared_lock<std::shared_mutex> lock(state->guard);
            if (state->svr != nullptr && state->svr->IsActive())
                state->svr->DisconnectClient(client);
        } catch (...) {
            // A failed close leaves nothing to report to anyone.
        }
    });
}

}  // namespace tessil
