#include "node_table.hpp"

#include <algorithm>
#include <new>

#include "grow.hpp"
#include "same_text.hpp"
#include "table_view.hpp"

namespace corvane {
namespace {

// The 32-bit offsets of the flat arrays cap them; past the cap a table is as full as
// memory would be.
void check_u32(std::size_t needed) {
    if (needed > kMaxU32) throw std::bad_alloc();
}

std::size_t text_bytes(std::span<const ParamEntryView> params) noexcept {
    std::size_t n = 0;
    for (const ParamEntryView& e : params) {
        n += e.key_size + (e.kind == ParamValue::Kind::Str ? e.text_size : 0);
    }
    return n;
}

}  // namespace

std::string_view NodeTable::name(std::size_t i) const noexcept {
    const Record& r = records_[i];
    return kind_has_name(r.kind) ? strings_.text(r.name()) : std::string_view();
}

std::span<const MemberSlot> NodeTable::members(std::size_t i) const noexcept {
    if (records_[i].kind != NodeKey::Kind::Stage) return {};
    const std::uint32_t stage = records_[i].stage();
    const std::size_t from = stage == 0 ? 0 : stage_ends_[stage - 1];
    return {members_.data() + from, members_.data() + stage_ends_[stage]};
}

std::span<const StageRef> NodeTable::operands(std::span<const MemberSlot> members,
                                              std::size_t m) const noexcept {
    const MemberSlot* slot = &members[m];
    const std::size_t from = slot == members_.data() ? 0 : (slot - 1)->operands_end;
    return {operands_.data() + from, operands_.data() + slot->operands_end};
}

ParamEntryView NodeTable::entry(const ParamSlot& slot) const noexcept {
    const std::string_view key = strings_.text(slot.key);
    ParamEntryView view{key.data(), key.size(), slot.kind, slot.value, nullptr, 0};
    if (slot.kind == ParamValue::Kind::Str) {
        const std::string_view text = strings_.text(static_cast<std::uint32_t>(slot.value));
        view.bits = 0;
        view.text_data = text.data();
        view.text_size = text.size();
    }
    return view;
}

ParamValue NodeTable::value(const ParamSlot& slot) const { return entry(slot).value(); }

NodeKey NodeTable::key(std::size_t i) const {
    ViewScratch scratch;
    return key_of(table_view(*this, i, scratch));
}

std::vector<NodeKey> NodeTable::keys(std::size_t from) const {
    std::vector<NodeKey> out;
    if (from >= size()) return out;
    out.reserve(size() - from);
    for (std::size_t i = from; i < size(); ++i) out.push_back(key(i));
    return out;
}

bool NodeTable::matches(std::size_t i, const NodeView& view) const noexcept {
    const Record& r = records_[i];
    if (r.kind != view.kind) return false;
    const std::size_t in_begin = begin(i, &Record::inputs_end);
    if (r.inputs_end - in_begin != view.inputs.size()) return false;
    const NodeId* ids = inputs_.data() + in_begin;
    for (std::size_t k = 0; k < view.inputs.size(); ++k) {
        if (ids[k] != view.inputs[k]) return false;
    }
    const std::size_t p_begin = begin(i, &Record::params_end);
    if (r.params_end - p_begin != view.params.size()) return false;
    const ParamSlot* slots = params_.data() + p_begin;
    for (std::size_t p = 0; p < view.params.size(); ++p) {
        const ParamEntryView& e = view.params[p];
        const ParamSlot& slot = slots[p];
        if (slot.kind != e.kind) return false;
        if (e.kind == ParamValue::Kind::Str) {
            if (!same_text(strings_.text(static_cast<std::uint32_t>(slot.value)), e.text()))
                return false;
        } else if (e.kind == ParamValue::Kind::Float) {
            if (canonical_float_bits(std::bit_cast<double>(slot.value)) !=
                canonical_float_bits(std::bit_cast<double>(e.bits))) {
                return false;
            }
        } else if (slot.value != e.bits) {
            return false;
        }
        if (!same_text(strings_.text(slot.key), e.key())) return false;
    }
    switch (r.kind) {
    case NodeKey::Kind::Source:
    case NodeKey::Kind::Op:
    case NodeKey::Kind::Reduction:
        return same_text(strings_.text(r.name()), view.name);
    case NodeKey::Kind::External: {
        const DescriptorSlot& s = descriptors_[r.descriptor()];
        const DescriptorView& d = *view.descriptor;
        return same_text(text(s.kind), d.kind) && same_text(text(s.content_hash), d.content_hash) &&
               same_text(text(s.framework), d.framework) && same_text(text(s.version), d.version) &&
               same_text(text(s.io_schema), d.io_schema) && s.has_ref == d.has_ref &&
               (!s.has_ref || same_text(text(s.preprocessing_ref), d.preprocessing_ref));
    }
    case NodeKey::Kind::Stage: {
        const std::span<const MemberSlot> ms = members(i);
        if (ms.size() != view.members.size()) return false;
        for (std::size_t m = 0; m < ms.size(); ++m) {
            const std::span<const StageRef> refs = operands(ms, m);
            const MemberView& want = view.members[m];
            if (!same_text(text(ms[m].token), want.token) ||
                !std::equal(refs.begin(), refs.end(), want.operands.begin(), want.operands.end())) {
                return false;
            }
        }
        return true;
    }
    default:
        return true;
    }
}

void NodeTable::make_room(std::size_t inputs, std::size_t params, std::size_t strings,
                          std::size_t bytes, bool stage, std::size_t members,
                          std::size_t operands) {
    // The common case: every array has room already.
    if (!stage && records_.size() < records_.capacity() &&
        inputs_.capacity() - inputs_.size() >= inputs &&
        params_.capacity() - params_.size() >= params && records_.size() < kMaxU32 &&
        params_.size() + params <= kMaxU32) {
        strings_.reserve_more(strings, bytes);
        return;
    }
    check_u32(params_.size() + params);
    check_u32(members_.size() + members);
    check_u32(operands_.size() + operands);
    check_u32(records_.size() + 1);
    strings_.reserve_more(strings, bytes);
    grow_to(records_, records_.size() + 1);
    grow_to(inputs_, inputs_.size() + inputs);
    grow_to(params_, params_.size() + params);
    if (stage) {
        grow_to(stage_ends_, stage_ends_.size() + 1);
        grow_to(members_, members_.size() + members);
        grow_to(operands_, operands_.size() + operands);
    }
}

NodeTable::Mark NodeTable::mark() const noexcept {
    return Mark{records_.size(),    inputs_.size(),  params_.size(),   descriptors_.size(),
                stage_ends_.size(), members_.size(), operands_.size(), strings_.size()};
}

void NodeTable::rollback(const Mark& mark) noexcept {
    records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(mark.records), records_.end());
    inputs_.resize(mark.inputs);
    params_.resize(mark.params);
    descriptors_.resize(mark.descriptors);
    stage_ends_.resize(mark.stages);
    members_.resize(mark.members);
    operands_.resize(mark.operands);
    strings_.truncate(mark.strings);
}

void NodeTable::reserve(std::size_t nodes, std::size_t inputs, std::size_t params) {
    records_.reserve(nodes);
    inputs_.reserve(inputs);
    params_.reserve(params);
}

void NodeTable::reserve_stages(std::size_t stages, std::size_t members, std::size_t operands) {
    stage_ends_.reserve(stages);
    members_.reserve(members);
    operands_.reserve(operands);
}

ParamSlot NodeTable::slot_of(const ParamEntryView& e) {
    ParamSlot slot{e.bits, strings_.intern(e.key()), e.kind};
    if (e.kind == ParamValue::Kind::Str) slot.value = strings_.intern(e.text());
    return slot;
}

// Makes room for everything first; after that nothing allocates, so nothing can fail
// half way.
void NodeTable::append(const NodeView& view) {
    std::size_t strings = 1 + 2 * view.params.size();
    std::size_t bytes = view.name.size() + text_bytes(view.params);
    const DescriptorView* d = view.descriptor;
    if (d != nullptr) {
        strings += 6;
        bytes += d->kind.size() + d->content_hash.size() + d->framework.size() + d->version.size() +
                 d->io_schema.size() + d->preprocessing_ref.size();
        check_u32(descriptors_.size() + 1);
        grow_to(descriptors_, descriptors_.size() + 1);
    }
    const bool stage = view.kind == NodeKey::Kind::Stage;
    std::size_t operands = 0;
    if (stage) {
        strings += view.members.size();
        for (const MemberView& m : view.members) {
            bytes += m.token.size();
            operands += m.operands.size();
        }
        check_u32(stage_ends_.size() + 1);
    }
    make_room(view.inputs.size(), view.params.size(), strings, bytes, stage, view.members.size(),
              operands);

    std::uint32_t ref = 0;
    switch (view.kind) {
    case NodeKey::Kind::Source:
    case NodeKey::Kind::Op:
    case NodeKey::Kind::Reduction:
        ref = strings_.intern(view.name);
        break;
    case NodeKey::Kind::External: {
        DescriptorSlot slot{strings_.intern(d->kind),
                            strings_.intern(d->content_hash),
                            strings_.intern(d->framework),
                            strings_.intern(d->version),
                            strings_.intern(d->io_schema),
                            0,
                            d->has_ref};
        if (d->has_ref) slot.preprocessing_ref = strings_.intern(d->preprocessing_ref);
        ref = static_cast<std::uint32_t>(descriptors_.size());
        descriptors_.push_back(slot);
        break;
    }
    case NodeKey::Kind::Stage:
        for (const MemberView& m : view.members) {
            const std::uint32_t token = strings_.intern(m.token);
            operands_.insert(operands_.end(), m.operands.begin(), m.operands.end());
            members_.push_back(MemberSlot{token, static_cast<std::uint32_t>(operands_.size())});
        }
        ref = static_cast<std::uint32_t>(stage_ends_.size());
        stage_ends_.push_back(static_cast<std::uint32_t>(members_.size()));
        break;
    default:
        break;
    }
    for (const ParamEntryView& e : view.params) params_.push_back(slot_of(e));
    for (NodeId id : view.inputs) inputs_.push_back(id);  // room was made: no reallocation
    records_.push_back(
        Record(inputs_.size(), static_cast<std::uint32_t>(params_.size()), view.kind, ref));
}

void NodeTable::append_row(const NodeTable& from, std::size_t i, std::span<const NodeId> inputs) {
    const std::size_t had = strings_.size();
    const std::size_t want = from.strings_.size();
    fault_unless(had <= want, "append_row: the source table lacks strings of this one");
    const Record& r = from.records_[i];
    const std::span<const ParamSlot> params = from.params(i);
    const bool stage = r.kind == NodeKey::Kind::Stage;
    const std::span<const MemberSlot> members = from.members(i);
    const std::size_t operands_from =
        members.empty()
            ? 0
            : static_cast<std::size_t>(from.operands(members, 0).data() - from.operands_.data());
    const std::size_t operand_count =
        members.empty() ? 0 : members.back().operands_end - operands_from;
    // Room first, each array grown on its own (the common case is a few comparisons).
    check_u32(records_.size() + 1);
    check_u32(params_.size() + params.size());
    if (want > had)
        strings_.reserve_more(want - had, from.strings_.byte_size() - strings_.byte_size());
    if (r.kind == NodeKey::Kind::External) {
        check_u32(descriptors_.size() + 1);
        grow_to(descriptors_, descriptors_.size() + 1);
    }
    if (stage) {
        check_u32(stage_ends_.size() + 1);
        check_u32(members_.size() + members.size());
        check_u32(operands_.size() + operand_count);
        grow_to(stage_ends_, stage_ends_.size() + 1);
        grow_to(members_, members_.size() + members.size());
        grow_to(operands_, operands_.size() + operand_count);
    }
    grow_to(records_, records_.size() + 1);
    grow_to(inputs_, inputs_.size() + inputs.size());
    grow_to(params_, params_.size() + params.size());
    // Room was made: nothing below allocates, so nothing fails half way.
    for (std::size_t s = had; s < want; ++s) {
        const std::uint32_t id = strings_.intern(from.text(static_cast<std::uint32_t>(s)));
        if (id != s)
            internal_fault("append_row: this table's strings are not a prefix of the source's");
    }
    std::uint32_t ref = 0;
    switch (r.kind) {
    case NodeKey::Kind::Source:
    case NodeKey::Kind::Op:
    case NodeKey::Kind::Reduction:
        ref = r.name();
        break;
    case NodeKey::Kind::External:
        ref = static_cast<std::uint32_t>(descriptors_.size());
        descriptors_.push_back(from.descriptors_[r.descriptor()]);
        break;
    case NodeKey::Kind::Stage: {
        const std::size_t base = operands_.size();
        operands_.insert(
            operands_.end(), from.operands_.begin() + static_cast<std::ptrdiff_t>(operands_from),
            from.operands_.begin() + static_cast<std::ptrdiff_t>(operands_from + operand_count));
        for (const MemberSlot& m : members) {
            members_.push_back(MemberSlot{
                m.token, static_cast<std::uint32_t>(base + m.operands_end - operands_from)});
        }
        ref = static_cast<std::uint32_t>(stage_ends_.size());
        stage_ends_.push_back(static_cast<std::uint32_t>(members_.size()));
        break;
    }
    default:
        break;
    }
    for (const ParamSlot& slot : params) params_.push_back(slot);
    for (const NodeId id : inputs) inputs_.push_back(id);
    records_.push_back(
        Record(inputs_.size(), static_cast<std::uint32_t>(params_.size()), r.kind, ref));
}

void NodeTable::append_stage(std::span<const NodeId> inputs, std::span<const MemberSlot> members,
                             std::span<const StageRef> operands) {
    fault_unless(members.empty() || members.back().operands_end == operands.size(),
                 "stage operands end with the last member");
    for (const MemberSlot& m : members) {
        fault_unless(m.token < strings_.size(), "stage member token is a string of the table");
    }
    check_u32(stage_ends_.size() + 1);
    make_room(inputs.size(), 0, 0, 0, true, members.size(), operands.size());
    const auto base = static_cast<std::uint32_t>(operands_.size());
    operands_.insert(operands_.end(), operands.begin(), operands.end());
    for (const MemberSlot& m : members) {
        members_.push_back(MemberSlot{m.token, base + m.operands_end});
    }
    const auto ref = static_cast<std::uint32_t>(stage_ends_.size());
    stage_ends_.push_back(static_cast<std::uint32_t>(members_.size()));
    inputs_.insert(inputs_.end(), inputs.begin(), inputs.end());
    records_.push_back(Record(inputs_.size(), static_cast<std::uint32_t>(params_.size()),
                              NodeKey::Kind::Stage, ref));
}

}  // namespace corvane
