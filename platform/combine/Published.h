#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/combine/AnyCancellable.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// Published<T>::SinkOptions for types with operator==.
struct PublishedSinkOptions {
    bool initial = true;            // deliver the current value on subscription
    bool removeDuplicates = false;  // skip values equal to the previous one (the current value counts)
};
// Published<T>::SinkOptions for types without operator==: there is nothing to compare, so
// removeDuplicates does not exist and asking for it does not compile.
struct PublishedInitialSinkOptions {
    bool initial = true;
};

// An observable value. set() calls the willSet subscribers with the old and new value, stores the
// value, then gives it to the sink subscribers: synchronously, or as a copy taken at set() time
// and delivered in order on the subscriber's queue.
//
// set() and value() belong to the owner's queue; subscribing and cancelling may happen on any
// thread. Subscribers may cancel themselves or others, and subscribe new ones, from their
// callbacks. Once its token is cancelled or destroyed, a subscriber receives nothing more, not even
// a delivery already queued. A subscriber never gets an older value after a newer one: an initial
// value overtaken by a concurrent set() is dropped.
template <class T>
class Published {
    struct Sink {
        std::function<void(const T&)> callback;
        std::optional<DispatchQueue> queue;
        bool removeDuplicates = false;
        std::optional<T> last;  // under State::mutex, only with removeDuplicates
        std::atomic<bool> alive{true};
        std::atomic<std::uint64_t> delivered{0};  // version of the newest value handed to callback
    };
    struct WillSet {
        std::function<void(const T&, const T&)> callback;
        std::atomic<bool> alive{true};
    };
    struct State {
        explicit State(T initial) : value(std::move(initial)) {}
        std::mutex mutex;
        T value;                    // written under mutex, only by set()
        std::uint64_t version = 1;  // bumped with every store
        std::vector<std::shared_ptr<Sink>> sinks;
        std::vector<std::shared_ptr<WillSet>> willSets;
    };

public:
    using SinkOptions =
        std::conditional_t<std::equality_comparable<T>, PublishedSinkOptions, PublishedInitialSinkOptions>;

    explicit Published(T initial = T{}) : state_(std::make_shared<State>(std::move(initial))) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& value() const { return state_->value; }

    void set(T newValue) {
        State& s = *state_;
        std::vector<std::shared_ptr<WillSet>> willSets;
        {
            std::lock_guard lock(s.mutex);
            willSets = s.willSets;
        }
        for (const auto& w : willSets) {
            if (w->alive)
                w->callback(s.value, newValue);
        }

        std::vector<std::shared_ptr<Sink>> targets;
        std::shared_ptr<const T> copy;
        std::uint64_t version = 0;
        {
            std::lock_guard lock(s.mutex);
            s.value = std::move(newValue);
            version = ++s.version;
            for (const auto& sink : s.sinks) {
                if constexpr (std::equality_comparable<T>) {
                    if (sink->removeDuplicates) {
                        if (sink->last && *sink->last == s.value)
                            continue;
                        sink->last = s.value;
                    }
                }
                if (sink->queue && !copy)
                    copy = std::make_shared<const T>(s.value);
                targets.push_back(sink);
            }
        }
        for (const auto& sink : targets) {
            if (sink->queue) {
                sink->queue->async([sink, copy, version] { deliver(*sink, version, *copy); });
            } else {
                deliver(*sink, version, s.value);
            }
        }
    }

    Published& operator=(T v) {
        set(std::move(v));
        return *this;
    }

    // Synchronous delivery on the thread that calls set().
    [[nodiscard]] AnyCancellable sink(std::function<void(const T&)> f, SinkOptions o = {}) {
        return subscribe(std::nullopt, std::move(f), o);
    }

    // Asynchronous delivery on q, the initial value included.
    [[nodiscard]] AnyCancellable sink(DispatchQueue q, std::function<void(const T&)> f, SinkOptions o = {}) {
        return subscribe(std::move(q), std::move(f), o);
    }

    // Called synchronously by set() before the value changes.
    [[nodiscard]] AnyCancellable willSet(std::function<void(const T& oldValue, const T& newValue)> f) {
        auto entry = std::make_shared<WillSet>();
        entry->callback = std::move(f);
        {
            std::lock_guard lock(state_->mutex);
            state_->willSets.push_back(entry);
        }
        return token(std::move(entry), &State::willSets);
    }

private:
    AnyCancellable subscribe(std::optional<DispatchQueue> queue, std::function<void(const T&)> f, SinkOptions o) {
        auto sink = std::make_shared<Sink>();
        sink->callback = std::move(f);
        sink->queue = std::move(queue);
        std::optional<T> initial;
        std::uint64_t version = 0;
        {
            std::lock_guard lock(state_->mutex);
            if constexpr (std::equality_comparable<T>) {
                sink->removeDuplicates = o.removeDuplicates;
                if (o.removeDuplicates)
                    sink->last = state_->value;
            }
            if (o.initial)
                initial = state_->value;
            version = state_->version;
            state_->sinks.push_back(sink);
        }
        if (initial) {
            if (sink->queue) {
                sink->queue->async([sink, value = std::move(*initial), version] { deliver(*sink, version, value); });
            } else {
                deliver(*sink, version, *initial);
            }
        }
        return token(std::move(sink), &State::sinks);
    }

    static void deliver(Sink& sink, std::uint64_t version, const T& value) {
        if (!sink.alive)
            return;
        std::uint64_t newest = sink.delivered.load();
        do {
            if (version <= newest)
                return;
        } while (!sink.delivered.compare_exchange_weak(newest, version));
        sink.callback(value);
    }

    template <class Entry>
    AnyCancellable token(std::shared_ptr<Entry> entry, std::vector<std::shared_ptr<Entry>> State::*list) {
        return AnyCancellable([weak = std::weak_ptr<State>(state_), entry = std::move(entry), list] {
            entry->alive = false;
            if (const auto s = weak.lock()) {
                std::lock_guard lock(s->mutex);
                std::erase(s.get()->*list, entry);
            }
        });
    }

    std::shared_ptr<State> state_;
};

}  // namespace velunto
