// How the tool prints its commands' records: as text for a person, or as
// JSON for a script. One renderer per form, one function per record.
#pragma once

#include "cli/commands.h"

#include <iosfwd>
#include <memory>

namespace cashdrawer::cli {

class Renderer {
public:
    virtual ~Renderer() = default;

    virtual void List(const std::vector<ListRow>& rows) = 0;
    virtual void Call(const CallReport& report) = 0;
    // A Default call with no drawer chosen.
    virtual void NoneChosen(const DefaultReport& report) = 0;
    virtual void WatchChange(const WatchLine& line) = 0;
    virtual void Config(const ConfigReport& report) = 0;
    virtual void ConfigWritten(const ConfigInitReport& report) = 0;
    virtual void Doctor(const DoctorReport& report) = 0;
};

std::unique_ptr<Renderer> MakeTextRenderer(std::ostream& out);
std::unique_ptr<Renderer> MakeJsonRenderer(std::ostream& out);

} // namespace cashdrawer::cli
