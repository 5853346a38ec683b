#include "db/file_records.h"

#include <strings.h>

#include <string>

namespace tallysv {

namespace {

// Each field's kind suits its member: numbers and flags are integers, a
// password the stored form's 32 bytes, an address 4.
template <typename Record>
constexpr bool kindsFit() {
    Record record{};
    bool fit = true;
    forEachField(record, [&](const char*, FieldKind kind, int, int width, const auto& member) {
        const bool integral = std::is_integral_v<std::remove_cvref_t<decltype(member)>>;
        const bool number = kind == FieldKind::Number || kind == FieldKind::Flags;
        if (integral != number) fit = false;
        if (kind == FieldKind::Password && width != 32) fit = false;
        if (kind == FieldKind::Address && width != 4) fit = false;
    });
    return fit;
}

template <typename Record>
constexpr DatLayout layoutOf() {
    static_assert(recordWidth<Record>() == Record::kSize, "the fields fill the record");
    static_assert(kindsFit<Record>(), "each field's kind suits its member");
    int header = 0;
    if constexpr (requires { Record::kHeaderSize; }) header = Record::kHeaderSize;
    return {Record::kFileName, Record::kSize, lastFieldOffset<Record>(), header};
}

// In the order of DatFile.
constexpr DatLayout kLayouts[kDatFileCount] = {
    layoutOf<fdUser>(), layoutOf<fdReg>(),     layoutOf<fdScore>(), layoutOf<fdSquad>(),
    layoutOf<fdBan>(),  layoutOf<fdBanfree>(), layoutOf<fdOp>(),    layoutOf<fdZone>(),
};

template <typename Record>
constexpr bool inItsPlace() {
    return kLayouts[static_cast<size_t>(Record::kFile)].fileName == Record::kFileName;
}
static_assert(inItsPlace<fdUser>() && inItsPlace<fdReg>() && inItsPlace<fdScore>() && inItsPlace<fdSquad>() &&
              inItsPlace<fdBan>() && inItsPlace<fdBanfree>() && inItsPlace<fdOp>() && inItsPlace<fdZone>());

}  // namespace

const DatLayout& datLayout(DatFile file) { return kLayouts[static_cast<size_t>(file)]; }

bool datFileFromName(std::string_view name, DatFile& file) {
    std::string text(name);
    for (size_t i = 0; i < kDatFileCount; ++i) {
        if (strcasecmp(text.c_str(), kLayouts[i].fileName) == 0) {
            file = static_cast<DatFile>(i);
            return true;
        }
    }
    return false;
}

}  // namespace tallysv
