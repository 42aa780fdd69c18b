#include "table_view.hpp"

namespace corvane {

DescriptorView table_descriptor(const NodeTable& table, std::size_t i) noexcept {
    const DescriptorSlot& d = table.descriptor(i);
    return DescriptorView{table.text(d.kind),
                          table.text(d.content_hash),
                          table.text(d.framework),
                          table.text(d.version),
                          table.text(d.io_schema),
                          d.has_ref ? table.text(d.preprocessing_ref) : std::string_view(),
                          d.has_ref};
}

NodeView table_view(const NodeTable& table, std::size_t i, ViewScratch& scratch) {
    NodeView view;
    view.kind = table.kind(i);
    view.name = table.name(i);
    view.inputs = table.inputs(i);
    const std::span<const ParamSlot> slots = table.params(i);
    ParamEntryView* const entries = scratch.params_room(slots.size());
    for (std::size_t k = 0; k < slots.size(); ++k) entries[k] = table.entry(slots[k]);
    view.params = {entries, slots.size()};
    const KindTraits& t = traits(view.kind);
    if (t.descriptor) {
        scratch.descriptor = table_descriptor(table, i);
        view.descriptor = &scratch.descriptor;
    }
    if (t.members) {
        const std::span<const MemberSlot> members = table.members(i);
        MemberView* const out = scratch.members_room(members.size());
        for (std::size_t m = 0; m < members.size(); ++m) {
            out[m] = MemberView{table.text(members[m].token), table.operands(members, m)};
        }
        view.members = {out, members.size()};
    }
    return view;
}

}  // namespace corvane
