#pragma once

// What an operation gives: its value, or the problem why there is none,
// with its facts. The shape of std::expected (has_value, value, error, a
// test as bool, Unexpected for the problem), which C++20's library lacks;
// a later standard's can take its place by name.

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

template <class E> struct Unexpected {
    E error;
};
template <class E> Unexpected(E) -> Unexpected<E>;

template <class T, class E = std::string> class [[nodiscard]] Result {
  public:
    Result(T value) : held_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
        requires std::is_constructible_v<E, G>
    Result(Unexpected<G> problem) : held_(std::in_place_index<1>, std::move(problem.error))
    {
    }
    bool has_value() const
    {
        return held_.index() == 0;
    }
    explicit operator bool() const
    {
        return has_value();
    }
    T& value()
    {
        return std::get<0>(held_);
    }
    const T& value() const
    {
        return std::get<0>(held_);
    }
    T& operator*()
    {
        return value();
    }
    const T& operator*() const
    {
        return value();
    }
    T* operator->()
    {
        return &value();
    }
    const T* operator->() const
    {
        return &value();
    }
    E& error()
    {
        return std::get<1>(held_);
    }
    const E& error() const
    {
        return std::get<1>(held_);
    }

  private:
    std::variant<T, E> held_;
};

// Done, or the problem why not.
template <class E> class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    template <class G>
        requires std::is_constructible_v<E, G>
    Result(Unexpected<G> problem) : problem_(std::move(problem.error))
    {
    }
    bool has_value() const
    {
        return !problem_;
    }
    explicit operator bool() const
    {
        return has_value();
    }
    void value() const {}
    E& error()
    {
        return *problem_;
    }
    const E& error() const
    {
        return *problem_;
    }

  private:
    std::optional<E> problem_{};
};
