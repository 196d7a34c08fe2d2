// OemLocale: the console's code-page facet. On Windows console text is
// converted from the ANSI to the OEM code page; Linux has no such pair of code
// pages, so the conversion is the identity. It still reports that it converts
// (do_always_noconv false), so the console streams go through it exactly as
// they would where a real conversion exists.
#pragma once

#include <cwchar>
#include <locale>

class OemLocale : public std::codecvt<char, char, std::mbstate_t> {
public:
    explicit OemLocale(std::size_t refs = 0) : std::codecvt<char, char, std::mbstate_t>(refs) {}

protected:
    ~OemLocale() override;

    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override;
    result do_unshift(state_type& state, extern_type* to, extern_type* toEnd,
                      extern_type*& toNext) const override;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override;
    int do_encoding() const noexcept override;
    bool do_always_noconv() const noexcept override;
    int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                  std::size_t max) const override;
    int do_max_length() const noexcept override;
};
