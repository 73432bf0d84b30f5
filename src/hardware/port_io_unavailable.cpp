// Port I/O where the processor has no I/O port space (not x86): every drawer
// that needs ports reports them unreachable, never a state made up from
// ports nobody read.
#include "hardware/port_io.h"

namespace cashdrawer {
namespace {

class UnavailablePortIo final : public PortIo {
public:
    Result Initialize() override { return Result::LibraryMissing; }
    void Shutdown() override {}
    // Never called: the bracket does not open.
    uint32_t Read(uint16_t, PortWidth) override { return 0; }
    void Write(uint16_t, uint32_t, PortWidth) override {}
    std::string Diagnosis() const override { return "this processor has no I/O port space"; }
};

} // namespace

std::unique_ptr<PortIo> MakeSystemPortIo() { return std::make_unique<UnavailablePortIo>(); }

} // namespace cashdrawer
