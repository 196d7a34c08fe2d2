// The body of CMD_ASYNC_OPERATIONS: sub-records laid out like whole command
// packets (code, payload length, payload), one after the other.
//
// ForEachAsyncOperation walks them in body order without touching anything
// outside the body: every field and every data byte a sub-record names must
// lie inside it. A malformed sub-record throws std::runtime_error naming its
// position; an unknown code throws "Unsupported async command". Sub-records
// before the failing one have already been handed to the visitor.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "wire/Packets.h"

struct CAsyncOperation {
    uint32_t code;                // ASYNC_CMD_SHIFT_IR, ASYNC_CMD_SHIFT_DR or ASYNC_CMD_WRITE_DR
    uint32_t value;               // instruction scans: the instruction
    int32_t length;               // bits; never negative for data scans
    uint32_t end;                 // end state
    const unsigned char* data;    // data scans: (length + 7) / 8 bytes inside the body
};

template <typename Visit>
void ForEachAsyncOperation(const unsigned char* body, uint32_t total, Visit&& visit)
{
    uint32_t offset = 0;
    unsigned index = 0;
    while (offset < total) {
        ++index;
        auto refuse = [&](const std::string& why) {
            return std::runtime_error("CMD_ASYNC_OPERATIONS: sub-record " + std::to_string(index) +
                                      " at offset " + std::to_string(offset) + ": " + why);
        };
        if (total - offset < 8)
            throw refuse("header runs past the end of the body");
        CAsyncOperation op{ReadLE32(body + offset), 0, 0, 0, nullptr};
        const uint32_t payloadLength = ReadLE32(body + offset + 4);
        if (payloadLength > total - offset - 8)
            throw refuse("payload of " + std::to_string(payloadLength) + " bytes runs past the end of the body");
        const unsigned char* payload = body + offset + 8;
        switch (op.code) {
        case ASYNC_CMD_SHIFT_DR:
        case ASYNC_CMD_WRITE_DR:
            if (payloadLength < 8)
                throw refuse("payload too short for a data scan");
            op.length = static_cast<int32_t>(ReadLE32(payload));
            op.end = ReadLE32(payload + 4);
            if (op.length < 0)
                throw refuse("negative scan length " + std::to_string(op.length));
            if ((static_cast<uint64_t>(op.length) + 7) / 8 > payloadLength - 8)
                throw refuse("data of a " + std::to_string(op.length) + "-bit scan runs past the payload");
            op.data = payload + 8;
            break;
        case ASYNC_CMD_SHIFT_IR:
            if (payloadLength < 12)
                throw refuse("payload too short for an instruction scan");
            op.value = ReadLE32(payload);
            op.length = static_cast<int32_t>(ReadLE32(payload + 4));
            op.end = ReadLE32(payload + 8);
            break;
        default:
            throw std::runtime_error("Unsupported async command");
        }
        visit(static_cast<const CAsyncOperation&>(op));
        // payloadLength fits in what is left of the body, so this stays <= total.
        offset += 8 + payloadLength;
    }
}
