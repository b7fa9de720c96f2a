// ReadRecvCommand on arbitrary bytes from the port, a frame at a time or a burst of them:
// nothing may crash, leak, allocate beyond the largest frame or hand out a record that breaks
// its family's layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <span>
#include <vector>

#include "Loader/device/Frame.h"
#include "Loader/device/Response.h"
#include "tests/device/DeviceTestSupport.h"

namespace {

// The port: the fuzz input, read front to back; a read past its end fails. It reports the bytes
// left as pending, or none as a port may while more is on its way.
class BufferPort : public CPortManage {
  public:
    void Reset(std::span<const std::uint8_t> bytes, bool bReportPending) {
        m_bytes = bytes;
        m_pos = 0;
        m_bReportPending = bReportPending;
    }
    int Recv(std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        if (uiLength > frames::kMaxFrameLength) {
            std::abort();  // only a refused length could ask for more
        }
        const std::size_t n = std::min<std::size_t>(uiLength, m_bytes.size() - m_pos);
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos), n, pbBuff);
        m_pos += n;
        return n == uiLength ? 1 : 0;
    }
    std::uint32_t PendingBytes() override {
        return m_bReportPending ? static_cast<std::uint32_t>(m_bytes.size() - m_pos) : 0;
    }
    bool AtEnd() const { return m_pos >= m_bytes.size(); }

  private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
    bool m_bReportPending = false;
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Owner, waits, queue and receive thread object, made once: their named events and threads'
// state cost more than reading a frame. Each input leaves the queue empty (checked).
struct Rig {
    Rig() {
        reader.SetOwnerDlg(&owner);
        reader.SetPort(&port);
        reader.SetQueManage(owner.GetQueManage());
        reader.CreateReadEvent();
        owner.GetQueManage()->SetReadThreadObject(&reader);
    }

    devtest::TestOwner owner;
    devtest::Waiter db{"FUZZ_DB"};
    devtest::Waiter hp{"FUZZ_HP"};
    devtest::Waiter d0[4] = {devtest::Waiter{"FUZZ_D0_0"}, devtest::Waiter{"FUZZ_D0_1"},
                             devtest::Waiter{"FUZZ_D0_2"}, devtest::Waiter{"FUZZ_D0_3"}};
    CLoaderReadThread reader;
    BufferPort port;
};

void CheckDb(const std::vector<std::uint8_t>& r) {
    Check(r.size() >= 8 && r.size() <= frames::kMaxFrameLength);
    Check(frames::DbRecordLength(r) == r.size() && r[0] == 0x44 && r[1] == 0x42);
}

void CheckHp(const std::vector<std::uint8_t>& r) {
    Check(r.size() >= 16 && r.size() <= frames::kMaxFrameLength);
    Check(frames::ReadBe32(r.data() + 4) == r.size());
}

void CheckD0(const std::vector<std::uint8_t>& r) {
    Check(r.size() <= frames::kD0MaxData);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static Rig& rig = *new Rig;  // lives to the end of the process, as the fuzzer does
    SetZeroLedAnswerFlag(data[0] & 1);
    rig.port.Reset(std::span<const std::uint8_t>(data + 1, size - 1), (data[0] & 2) != 0);
    CQueManage& queue = *rig.owner.GetQueManage();

    // One wait a family and D0 answer, as execution threads keep them: a served one is checked,
    // taken and made again; the others wait on across the reads.
    struct Wait {
        devtest::Waiter* waiter;
        std::vector<std::uint8_t> key;
        void (*check)(const std::vector<std::uint8_t>&);
    };
    const Wait waits[] = {
        {&rig.db, {0x44, 0x42}, CheckDb},
        {&rig.hp, {0x48, 0x50}, CheckHp},
        {&rig.d0[0], {frames::kD0Answer0}, CheckD0},
        {&rig.d0[1], {frames::kD0Answer0 + 1}, CheckD0},
        {&rig.d0[2], {frames::kD0Answer0 + 2}, CheckD0},
        {&rig.d0[3], {frames::kD0Answer3}, CheckD0},
    };
    for (const Wait& w : waits) {
        queue.AddQueData(w.key.data(), static_cast<int>(w.key.size()), w.waiter);
    }
    while (!rig.port.AtEnd()) {
        rig.reader.ReadRecvCommand();
        for (const Wait& w : waits) {
            const CQueData* e = queue.FindQueData(w.waiter);
            Check(e != nullptr);
            if (e->IsServed()) {
                w.check(e->GetRecvData());
                queue.DelQueData(w.waiter);
                queue.AddQueData(w.key.data(), static_cast<int>(w.key.size()), w.waiter);
            }
        }
        Check(queue.GetEntryCount() == std::size(waits) && queue.GetWaitCount() == 6);
    }
    for (const Wait& w : waits) {
        queue.DelAllQueData(w.waiter);
    }
    Check(queue.GetEntryCount() == 0 && queue.GetWaitCount() == 0);
    SetZeroLedAnswerFlag(0);
    return 0;
}
