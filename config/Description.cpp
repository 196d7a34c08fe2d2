#include "config/Description.h"

#include "config/XMLParser.h"

#include <stdexcept>

CDescription::CDescription() = default;

CDescription::~CDescription() = default;

void CDescription::LoadFromXML(const std::string& fileName)
{
    CXMLParser parser(fileName);
    // Only a fully parsed and checked record replaces the one in force.
    m_options = parser.Parse();
}

const CJTAGOptions& CDescription::GetJTAGs() const
{
    if (!m_options)
        throw std::runtime_error("NULL JTAG description");
    return *m_options;
}
