// COptions: a small table of named options addressed by index.
//
// The server keeps its boolean switches here; the logger's slots are named
// in log/Logger.h, the server's own in server/JTAGServer.h. Slots without an
// option hold an unused entry whose index is 0xFFFFFFFF; the name map only
// refuses a second option with the same name.
#pragma once

#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

template <typename T>
class COptions {
public:
    struct Option {
        unsigned int index = 0xFFFFFFFFu;
        std::string name;
        std::string description;
        T value{};
    };

    COptions() = default;
    COptions(std::initializer_list<Option> options)
    {
        for (const Option& option : options)
            AddOption(option);
    }

    void AddOption(const Option& option)
    {
        if (option.index == 0xFFFFFFFFu)
            throw std::runtime_error("Bad option");
        if (m_options.size() <= option.index)
            m_options.resize(static_cast<size_t>(option.index) + 1);
        if (m_options[option.index].index != 0xFFFFFFFFu)
            throw std::runtime_error("Bad option: index already exits");
        m_options[option.index] = option;
        if (m_names.count(option.name))
            throw std::runtime_error("Bad option: name already exits");
        m_names.emplace(option.name, option.index);
    }

    Option& operator[](unsigned int index)
    {
        if (index >= m_options.size() || m_options[index].index == 0xFFFFFFFFu)
            throw std::runtime_error("Bad option index");
        return m_options[index];
    }

    const Option& operator[](unsigned int index) const
    {
        return const_cast<COptions&>(*this)[index];
    }

private:
    std::vector<Option> m_options;
    std::map<std::string, unsigned int> m_names;
};
