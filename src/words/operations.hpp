#pragma once
// operations: what the data words compute, defined once. The handlers, the
// translator's folding, the IR interpreter, the machine code's checks and
// the checker all evaluate an operation through these functions.

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

// ---------------------------------------------------------------------------
// The integer rules

// Sums, differences and products wrap modulo 2^32. Signed overflow is
// undefined, so the work is done unsigned and converted back (modular in C++20).
constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrap_mul(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// Truncates toward zero. INT32_MIN / -1 does not fit and traps on x86; its
// wrapped value is INT32_MIN. The caller has ruled out a zero divisor.
constexpr std::int32_t truncated_quotient(std::int32_t x1, std::int32_t x2) noexcept
{
    return x2 == -1 ? wrap_sub(0, x1) : x1 / x2;
}

// The remainder has the sign of the dividend; INT32_MIN % -1 is 0.
constexpr std::int32_t truncated_remainder(std::int32_t x1, std::int32_t x2) noexcept
{
    return x2 == -1 ? 0 : x1 % x2;
}

// The k of a divisor 2^k, k from 1 to 30; 0 for any other divisor.
constexpr int power_of_two_exponent(std::int32_t d) noexcept
{
    if (d < 2 || d > (1 << 30) || !std::has_single_bit(static_cast<std::uint32_t>(d))) return 0;
    return std::countr_zero(static_cast<std::uint32_t>(d));
}

// The quotient or the remainder by 2^k by shifts: a dividend below zero is
// raised by 2^k - 1 first, so that the shift truncates toward zero; the
// remainder is what the quotient's multiple leaves, with the dividend's sign.
constexpr std::int32_t quotient_by_power_of_two(std::int32_t n, int k) noexcept
{
    const auto bias = static_cast<std::int32_t>(static_cast<std::uint32_t>(n >> 31) >> (32 - k));
    return (n + bias) >> k;
}

constexpr std::int32_t remainder_by_power_of_two(std::int32_t n, int k) noexcept
{
    const auto bias = static_cast<std::int32_t>(static_cast<std::uint32_t>(n >> 31) >> (32 - k));
    return n - ((n + bias) & static_cast<std::int32_t>(0u - (1u << k)));
}

constexpr std::int32_t truth(bool b) noexcept { return b ? 1 : 0; }

// ---------------------------------------------------------------------------
// Relations between two values

// Equal, not equal, less, greater or equal, greater, less or equal:
// X(name, negation, converse): negation holds exactly where name does not;
// converse holds for (b, a) exactly where name holds for (a, b).
#define QKA_RELATIONS(X) \
    X(eq, ne, eq)        \
    X(ne, eq, ne)        \
    X(lt, ge, gt)        \
    X(ge, lt, le)        \
    X(gt, le, lt)        \
    X(le, gt, ge)

enum class relation : std::uint8_t {
#define QKA_RELATION_ENUM(name, ...) name,
    QKA_RELATIONS(QKA_RELATION_ENUM)
#undef QKA_RELATION_ENUM
};

constexpr relation negation(relation r) noexcept
{
    switch (r) {
#define QKA_RELATION_NEGATION(name, negation, converse) \
    case relation::name: return relation::negation;
        QKA_RELATIONS(QKA_RELATION_NEGATION)
#undef QKA_RELATION_NEGATION
    }
    return r;
}

constexpr relation converse(relation r) noexcept
{
    switch (r) {
#define QKA_RELATION_CONVERSE(name, negation, converse) \
    case relation::name: return relation::converse;
        QKA_RELATIONS(QKA_RELATION_CONVERSE)
#undef QKA_RELATION_CONVERSE
    }
    return r;
}

// Signed, as every comparison of the language.
constexpr bool holds(relation r, std::int32_t a, std::int32_t b) noexcept
{
    switch (r) {
    case relation::eq: return a == b;
    case relation::ne: return a != b;
    case relation::lt: return a < b;
    case relation::ge: return a >= b;
    case relation::gt: return a > b;
    case relation::le: return a <= b;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The two-operand operations

inline constexpr std::optional<relation> no_relation{};

// X(name, commutes, gives a truth value, the relation it tests or no_relation)
#define QKA_BINARY_OPERATIONS(X)                         \
    X(add, true, false, no_relation)                     \
    X(sub, false, false, no_relation)                    \
    X(mul, true, false, no_relation)                     \
    X(div, false, false, no_relation)                    \
    X(mod, false, false, no_relation)                    \
    X(eq, true, true, relation::eq)                   \
    X(ne, true, true, relation::ne)               \
    X(lt, false, true, relation::lt)                   \
    X(gt, false, true, relation::gt)                \
    X(logical_and, true, true, no_relation)              \
    X(logical_or, true, true, no_relation)

enum class binary_operation : std::uint8_t {
#define QKA_BINARY_ENUM(name, ...) name,
    QKA_BINARY_OPERATIONS(QKA_BINARY_ENUM)
#undef QKA_BINARY_ENUM
};

struct binary_operation_info {
    bool commutes;
    bool gives_truth;                // the result is always 1 or 0
    std::optional<relation> tests;   // a comparison: 1 where the relation holds
};

inline constexpr std::array binary_operation_infos{
#define QKA_BINARY_INFO(name, commutes, truth, tests) \
    binary_operation_info{commutes, truth, std::optional<relation>(tests)},
    QKA_BINARY_OPERATIONS(QKA_BINARY_INFO)
#undef QKA_BINARY_INFO
};

constexpr const binary_operation_info& info(binary_operation op) noexcept
{
    return binary_operation_infos[static_cast<std::size_t>(op)];
}

constexpr bool divides(binary_operation op) noexcept
{
    return op == binary_operation::div || op == binary_operation::mod;
}

// The operation on (b, a) that gives what op gives on (a, b), if there is one.
constexpr std::optional<binary_operation> converse(binary_operation op) noexcept
{
    if (info(op).commutes) return op;
    if (op == binary_operation::lt) return binary_operation::gt;
    if (op == binary_operation::gt) return binary_operation::lt;
    return std::nullopt;
}

// The value of a op b; the caller has ruled out a zero divisor.
constexpr std::int32_t evaluate(binary_operation op, std::int32_t a, std::int32_t b) noexcept
{
    switch (op) {
    case binary_operation::add: return wrap_add(a, b);
    case binary_operation::sub: return wrap_sub(a, b);
    case binary_operation::mul: return wrap_mul(a, b);
    case binary_operation::div: return truncated_quotient(a, b);
    case binary_operation::mod: return truncated_remainder(a, b);
    case binary_operation::eq: return truth(holds(relation::eq, a, b));
    case binary_operation::ne: return truth(holds(relation::ne, a, b));
    case binary_operation::lt: return truth(holds(relation::lt, a, b));
    case binary_operation::gt: return truth(holds(relation::gt, a, b));
    case binary_operation::logical_and: return truth(a != 0 && b != 0);
    case binary_operation::logical_or: return truth(a != 0 || b != 0);
    }
    return 0;
}

// "0=" and "not": 1 where x is 0.
constexpr std::int32_t negated_truth(std::int32_t x) noexcept { return truth(x == 0); }

// The day of the week of y m d ("wday"): 0 for Sunday, by the per-month
// offsets of the formula; nothing is validated, and a month outside 1 to 12
// adds 0. The sum wraps, each division truncates toward zero.
constexpr std::int32_t day_of_week(std::int32_t y, std::int32_t m, std::int32_t d) noexcept
{
    constexpr std::array<signed char, 12> wday_table{0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m <= 2) y = wrap_sub(y, 1);
    const std::int32_t offset = m >= 1 && m <= 12 ? wday_table[static_cast<std::size_t>(m - 1)] : 0;
    std::int32_t s = wrap_add(y, y / 4);
    s = wrap_sub(s, y / 100);
    s = wrap_add(s, y / 400);
    s = wrap_add(s, offset);
    s = wrap_add(s, d);
    return s % 7;
}
