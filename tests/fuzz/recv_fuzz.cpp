// ReadRecvCommand on arbitrary bytes from the port: nothing may crash, leak, allocate beyond the
// largest frame or hand out a record that breaks its family's layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Loader/device/Frame.h"
#include "Loader/device/Response.h"
#include "tests/device/DeviceTestSupport.h"

namespace {

// The port: the fuzz input, read front to back; a read past its end fails.
class BufferPort : public CPortManage {
  public:
    explicit BufferPort(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    int Recv(std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        if (uiLength > frames::kMaxFrameLength) {
            std::abort();  // only a refused length could ask for more
        }
        const std::size_t n = std::min<std::size_t>(uiLength, m_bytes.size() - m_pos);
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos), n, pbBuff);
        m_pos += n;
        return n == uiLength ? 1 : 0;
    }
    bool AtEnd() const { return m_pos >= m_bytes.size(); }

  private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    SetZeroLedAnswerFlag(data[0] & 1);
    BufferPort port(std::span<const std::uint8_t>(data + 1, size - 1));
    devtest::TestOwner owner;
    devtest::Waiter db("FUZZ_DB"), hp("FUZZ_HP"), d0("FUZZ_D0");
    CLoaderReadThread reader;
    reader.SetOwnerDlg(&owner);
    reader.SetPort(&port);
    reader.SetQueManage(owner.GetQueManage());
    reader.CreateReadEvent();
    owner.GetQueManage()->SetReadThreadObject(&reader);
    const std::uint8_t kDb[] = {0x44, 0x42};
    const std::uint8_t kHp[] = {0x48, 0x50};
    CQueManage& queue = *owner.GetQueManage();

    while (!port.AtEnd()) {
        queue.AddQueData(kDb, 2, &db);
        queue.AddQueData(kHp, 2, &hp);
        for (std::uint8_t op = frames::kD0Answer0; op <= frames::kD0Answer3; ++op) {
            queue.AddQueData(&op, 1, &d0);
        }
        reader.ReadRecvCommand();
        if (const CQueData* e = queue.FindQueData(&db); e != nullptr && e->IsServed()) {
            const auto& r = e->GetRecvData();
            Check(r.size() >= 8 && r.size() <= frames::kMaxFrameLength);
            Check(frames::DbRecordLength(r) == r.size() && r[0] == 0x44 && r[1] == 0x42);
        }
        if (const CQueData* e = queue.FindQueData(&hp); e != nullptr && e->IsServed()) {
            const auto& r = e->GetRecvData();
            Check(r.size() >= 16 && r.size() <= frames::kMaxFrameLength);
            Check(frames::ReadBe32(r.data() + 4) == r.size());
        }
        for (const CQueData* e = queue.FindQueData(&d0); e != nullptr && e->IsServed();
             e = nullptr) {
            Check(e->GetRecvData().size() <= frames::kD0MaxData);
        }
        queue.DelAllQueData(&db);
        queue.DelAllQueData(&hp);
        queue.DelAllQueData(&d0);
        Check(queue.GetEntryCount() == 0 && queue.GetWaitCount() == 0);
    }
    queue.SetReadThreadObject(nullptr);
    SetZeroLedAnswerFlag(0);
    return 0;
}
