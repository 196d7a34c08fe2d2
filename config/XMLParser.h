// Turns one configuration document into a CJTAGOptions record. Expat does the
// parsing; only start tags matter here, so it gets a start-element handler and
// nothing else (text, comments and end tags pass unseen).
#pragma once

#include "config/Description.h"

#include <expat.h>

#include <cstddef>
#include <exception>
#include <map>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

class CXMLParser {
public:
    // Empty name: the built-in document. Otherwise the file, read whole in
    // binary; std::invalid_argument "Can't open XML file" / "Can't read XML file".
    explicit CXMLParser(std::string fileName);
    // A document held by the caller, who keeps it alive until Parse() returns.
    CXMLParser(const char* text, std::size_t length);
    virtual ~CXMLParser();

    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // Parses the whole text and returns the record, or throws:
    // std::invalid_argument "XML Parser Error: ..." for expat's errors,
    // std::runtime_error for a wrong version, a bad number ("Can not convert
    // TEXT to integer!" and where: file, line, element, attribute) or a
    // document without a jtag_options root ("NULL JTAG description: expected
    // root element jtag_options, found NAME" and where).
    std::shared_ptr<CJTAGOptions> Parse();

    static void StaticStartElementHandler(void* userData, const char* name, const char** attributes);

    // Larger files are refused as unreadable: a configuration is a few
    // kilobytes, and expat takes one buffer of at most INT_MAX bytes.
    static constexpr std::size_t kMaxFileSize = 16u << 20;

private:
    void StartElementHandler(const std::string& name, std::map<std::string, std::string>& attributes);
    void CreateParser();
    // " (FILE, line N" with the current line: the start of where an element
    // is, for messages.
    std::string Where() const;
    // The attribute `attribute` of element `element` as a number (0 when
    // absent); a bad number fails with the converter's text and where it is.
    unsigned long long Number(const std::map<std::string, std::string>& attributes, const std::string& element,
                              const char* attribute) const;
    // A number of at most 16 bits (GPIO bits of an FTDI board).
    unsigned Bits16(const std::map<std::string, std::string>& attributes, const std::string& element,
                    const char* attribute) const;
    // The text, then where it stands: file, line, element and attribute.
    std::runtime_error Error(const std::string& element, const char* attribute, const std::string& text) const;
    CUsbJTAGDescription Backend(const std::string& element, const std::map<std::string, std::string>& attributes) const;

    std::string m_source;              // the file name, or what the text is, for messages
    std::vector<char> m_buffer;        // owned text when read from a file
    const char* m_text = nullptr;      // the document: m_buffer or a block not owned
    std::size_t m_length = 0;
    XML_Parser m_parser = nullptr;
    std::shared_ptr<CJTAGOptions> m_options;  // empty until jtag_options is seen
    bool m_rootSeen = false;
    // A handler's exception, held while expat unwinds its own C frames and
    // rethrown unchanged once XML_Parse has returned.
    std::exception_ptr m_handlerError;
};
