// The door between the connection events and the lobby object: handlers pass through it
// holding a shared reference, and the close sequence shuts it and waits for the handlers
// inside before the lobby is released. Owned by TMainForm; Enter runs on engine workers,
// CloseAndWait on the control thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace tessil {

template <typename T>
class LobbyGate {
  public:
    // A handler's pass: keeps the object alive and counts as "inside" until destroyed.
    class Pass {
      public:
        Pass() = default;
        Pass(LobbyGate* gate, std::shared_ptr<T> obj) : gate_(gate), obj_(std::move(obj)) {}
        Pass(Pass&& other) noexcept
            : gate_(std::exchange(other.gate_, nullptr)), obj_(std::move(other.obj_)) {}
        Pass& operator=(Pass&&) = delete;
        ~Pass() {
            if (gate_ == nullptr) return;
            obj_.reset();
            std::lock_guard lock(gate_->mu_);
            if (--gate_->inside_ == 0) gate_->cv_.notify_all();
        }
        explicit operator bool() const { return obj_ != nullptr; }
        T* operator->() const { return obj_.get(); }

      private:
        LobbyGate* gate_ = nullptr;
        std::shared_ptr<T> obj_;
    };

    explicit LobbyGate(std::shared_ptr<T> obj) : obj_(std::move(obj)) {}

    // An empty pass once the gate is shut.
    Pass Enter() {
        std::lock_guard lock(mu_);
        if (!obj_) return Pass();
        ++inside_;
        return Pass(this, obj_);
    }

    // The object while the gate is open (control thread reads for the counters).
    std::shared_ptr<T> Peek() const {
        std::lock_guard lock(mu_);
        return obj_;
    }

    // Shuts the gate, waits until no handler is inside (at most `limit`) and hands the
    // object to the caller, who releases it. Returns whether the wait ended in time; a
    // handler still inside keeps its own reference, so nothing is freed under it.
    bool CloseAndWait(std::chrono::milliseconds limit, std::shared_ptr<T>& out) {
        std::unique_lock lock(mu_);
        out = std::move(obj_);
        obj_.reset();
        return cv_.wait_for(lock, limit, [this] { return inside_ == 0; });
    }

    // The gate's destructor requires every pass to be gone.
    ~LobbyGate() = default;

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::shared_ptr<T> obj_;
    int inside_ = 0;
};

}  // namespace tessil
