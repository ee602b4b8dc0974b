#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace tarni {

// Errors travel as values. A Result holds either the value or the error;
// `Failure` makes the error side explicit at the return site:
//     if (bad) return Failure(StoreError{...});
template <class E>
struct Failure {
    E error;
    explicit Failure(E e) : error(std::move(e)) {}
};

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> failure) : m_data(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }

    T &value() & { return std::get<0>(m_data); }
    const T &value() const & { return std::get<0>(m_data); }
    T &&value() && { return std::get<0>(std::move(m_data)); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }
    const T &operator*() const & { return value(); }

    const E &error() const { return std::get<1>(m_data); }

private:
    std::variant<T, E> m_data;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(Failure<E> failure) : m_error(std::move(failure.error)) {}

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const E &error() const { return *m_error; }

private:
    std::optional<E> m_error;
};

} // namespace tarni
