// Executors. PostEvent on reactor workers; SetActive on the owner's thread.
#include "iocpengine/DnExecutor.h"

#include <cstdio>
#include <exception>

#include "iocpengine/DnException.h"
#include "iocpengine/DnTcpRequest.h"

namespace tessil {

void TDnAbstractExecutor::SetActive(bool value) {
    if (value && !active_)
        active_ = TurnOn();
    else if (!value && active_)
        active_ = TurnOff();
}

bool TDnSimpleExecutor::TurnOn() {
    context_ = nullptr;
    if (onCreateContext_) context_ = onCreateContext_(nullptr);
    return true;
}

bool TDnSimpleExecutor::TurnOff() {
    if (onDestroyContext_) onDestroyContext_(context_);
    context_ = nullptr;
    return false;
}

bool TDnSimpleExecutor::PostEvent(TDnTcpRequest* request) {
    if (!request) {
        std::fputs("Wrong event.\n", stderr);
        return true;
    }
    auto log = [this](const std::string& text) {
        if (!logger_) return;
        try {
            logger_->LogMsg(logLevel_, text);
        } catch (...) {
            // A failing log must not turn a handled error into a lost completion.
        }
    };
    // Asked before the handler runs: a handler may end the life of whoever owns the
    // request (a listener's accept completion lets its switch-off finish), so the request
    // is not touched after the call.
    const bool pureSignal = request->IsPureSignal();
    try {
        request->CallHandler(context_);
    } catch (const EDnException& e) {
        // Engine exceptions built from a code only have an empty message; log their text.
        log(e.Message().empty() ? e.ErrorMessage() : e.Message());
    } catch (const std::exception& e) {
        log(e.what());
    } catch (...) {
        log("Unknown exception in a completion handler.");
    }
    if (pureSignal) delete request;
    return true;
}

}  // namespace tessil
