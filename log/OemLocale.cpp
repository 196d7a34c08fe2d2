#include "log/OemLocale.h"

#include <algorithm>
#include <cstring>

namespace {
// One character in, one out. Should the caller offer less room than input,
// convert what fits and report a partial conversion rather than overrun.
template <typename From, typename To>
std::codecvt_base::result convert(const From* from, const From* fromEnd, const From*& fromNext,
                                  To* to, To* toEnd, To*& toNext)
{
    const std::size_t count = std::min<std::size_t>(fromEnd - from, toEnd - to);
    if (count > 0)
        std::memcpy(to, from, count);
    fromNext = from + count;
    toNext = to + count;
    return fromNext == fromEnd ? std::codecvt_base::ok : std::codecvt_base::partial;
}
}  // namespace

OemLocale::~OemLocale() = default;

OemLocale::result OemLocale::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                    const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                    extern_type*& toNext) const
{
    return convert(from, fromEnd, fromNext, to, toEnd, toNext);
}

OemLocale::result OemLocale::do_unshift(state_type&, extern_type* to, extern_type*,
                                        extern_type*& toNext) const
{
    toNext = to;
    return ok;
}

OemLocale::result OemLocale::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                   const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                   intern_type*& toNext) const
{
    return convert(from, fromEnd, fromNext, to, toEnd, toNext);
}

int OemLocale::do_encoding() const noexcept
{
    return 1;
}

bool OemLocale::do_always_noconv() const noexcept
{
    return false;
}

int OemLocale::do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                         std::size_t max) const
{
    return std::codecvt<char, char, std::mbstate_t>::do_length(state, from, fromEnd, max);
}

int OemLocale::do_max_length() const noexcept
{
    return std::codecvt<char, char, std::mbstate_t>::do_max_length();
}
