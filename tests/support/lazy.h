// A fixture built on first use, for tables of test parameters.
//
// GoogleTest evaluates the generators of INSTANTIATE_TEST_SUITE_P when the
// binary registers its tests: in every process, also one that runs a single
// other test or only lists them. A table whose rows hold fixture PDFs
// therefore holds Lazy<...> members: the row's name is known at once, the PDF
// is made the first time a test reads it and then kept for the process.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace fixtures {

template <typename T>
class Lazy {
public:
    Lazy() = default;
    template <typename Make, typename = std::enable_if_t<std::is_invocable_r_v<T, Make&>>>
    Lazy(Make make) : state_(std::make_shared<State>(std::function<T()>(std::move(make))))
    {
    }

    // Copies share the value: GoogleTest copies parameters freely.
    const T& operator*() const
    {
        std::call_once(state_->once, [this] { state_->value.emplace(state_->make()); });
        return *state_->value;
    }
    const T* operator->() const { return &**this; }

private:
    struct State {
        explicit State(std::function<T()> m) : make(std::move(m)) {}
        std::function<T()> make;
        std::once_flag once;
        std::optional<T> value;
    };
    std::shared_ptr<State> state_;
};

}  // namespace fixtures
