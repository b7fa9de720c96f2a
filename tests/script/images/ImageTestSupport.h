// Test doubles for the image download and first-stage commands: embedded images and texts laid
// over the shipped ones, S-record lines, and a device that answers the writes.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/resources/resources.h"
#include "tests/support/LoaderTestSupport.h"

namespace imgtest {

// The shared doubles are this namespace's too.
using namespace loadertest;

// One S-record line (no line end) with a correct record checksum. Address widths follow the
// type: 2 bytes for S0, S1, S5, S9; 3 for S2, S8; 4 for S3, S7.
inline std::string SRec(int type, std::uint32_t address, std::initializer_list<int> data) {
    const int addressBytes = (type == 2 || type == 8) ? 3 : (type == 3 || type == 7) ? 4 : 2;
    Bytes body;
    body.push_back(static_cast<std::uint8_t>(addressBytes + static_cast<int>(data.size()) + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    for (int d : data) {
        body.push_back(static_cast<std::uint8_t>(d));
    }
    unsigned sum = 0;
    for (std::uint8_t b : body) {
        sum += b;
    }
    body.push_back(static_cast<std::uint8_t>(~sum & 0xFF));
    std::string line = "S" + std::to_string(type);
    static const char kHex[] = "0123456789ABCDEF";
    for (std::uint8_t b : body) {
        line += kHex[b >> 4];
        line += kHex[b & 15];
    }
    return line;
}

// An embedded DATA resource (an image of the module table) for the object's lifetime.
class Image {
  public:
    Image(int nResource, Bytes bytes)
        : m_bytes(std::move(bytes)),
          m_resource("DATA", nResource, {m_bytes.data(), m_bytes.size()}) {}
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

  private:
    Bytes m_bytes;
    platform::resources::ScopedResource m_resource;
};

// Text of a string-table message as the step messages carry it.
inline std::string Text(int nId) {
    return std::string(platform::resources::LoadString(nId));
}

// The device on the other end of the update port. Every Send is recorded as one write and shown
// to the responder, whose answer bytes the receive thread then reads.
class FakeDevicePort : public loadertest::FeedPort {
  public:
    using Responder = std::function<Bytes(const Bytes& write, int nIndex)>;

    FakeDevicePort() { m_kill->Reset(); }

    void SetResponder(Responder responder) {
        CriticalSectionLock lock(m_lock);
        m_responder = std::move(responder);
    }
    // The write with this index (0-based) fails, as an unplugged device's would.
    void FailWrite(int nIndex) {
        CriticalSectionLock lock(m_lock);
        m_failWrite = nIndex;
    }

    int Send(const std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        Bytes write(pbBuff, pbBuff + uiLength);
        Responder responder;
        int index = 0;
        {
            CriticalSectionLock lock(m_lock);
            index = static_cast<int>(m_writes.size());
            m_writes.push_back(write);
            if (index == m_failWrite) {
                return 0;
            }
            responder = m_responder;
        }
        if (responder) {
            Feed(responder(write, index));
        }
        return 1;
    }

    // Answer bytes that come without a write; no bytes wake no one.
    void Feed(const Bytes& bytes) {
        if (!bytes.empty()) {
            FeedPort::Feed(bytes);
        }
    }

  private:
    Responder m_responder;
    int m_failWrite = -1;
};

}  // namespace imgtest
