#include "JamProcedures.h"

#include "JamVariables.h"

#include <string_view>

namespace {

constexpr uint64_t kActionEntry = 12;
constexpr uint64_t kProcedureEntry = 13;

} // namespace

JBI_RETURN_TYPE JamProcedures::findAction(const char* action, uint32_t& first_procedure) const
{
    if (!action) {
        return JBIC_ACTION_NOT_FOUND;
    }
    for (uint64_t i = 0; i < fHeader.actionCount; ++i) {
        const uint64_t entry = fHeader.actionTable + i * kActionEntry;
        const auto name = fImage.be32(entry);
        const auto first = fImage.be32(entry + 8);
        if (!name || !first) {
            return JBIC_BOUNDS_ERROR;
        }
        const auto text = fImage.text(uint64_t(fHeader.stringTable) + *name);
        if (!text) {
            return JBIC_BOUNDS_ERROR;
        }
        if (jbi_names_equal(*text, action)) {
            first_procedure = *first;
            return JBIC_SUCCESS;
        }
    }
    return JBIC_ACTION_NOT_FOUND;
}

JBI_RETURN_TYPE JamProcedures::skipped(uint32_t procedure, bool& skip) const
{
    if (procedure >= fHeader.procedureCount) {
        return JBIC_BOUNDS_ERROR;
    }
    const uint64_t entry = fHeader.procedureTable + uint64_t(procedure) * kProcedureEntry;
    const auto attributes = fImage.byte(entry + 8);
    const auto name = fImage.be32(entry);
    if (!attributes || !name) {
        return JBIC_BOUNDS_ERROR;
    }
    unsigned flag = *attributes & 0x03;
    if (flag != 0 && fInitList) {
        const auto text = fImage.text(uint64_t(fHeader.stringTable) + *name);
        for (const char* const* item = fInitList; *item && text; ++item) {
            const std::string_view entryText(*item);
            const size_t equals = entryText.find('=');
            if (equals != std::string_view::npos && jbi_names_equal(*text, entryText.substr(0, equals))) {
                flag |= jbi_parse_init_value(*item + equals + 1) == 0 ? 0x40 : 0x80;
            }
        }
    }
    skip = flag == 0x01 || (flag & 0xC0) == 0x40;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE JamProcedures::word(uint32_t procedure, uint64_t field, uint32_t& value) const
{
    const auto read = fImage.be32(fHeader.procedureTable + uint64_t(procedure) * kProcedureEntry + field);
    if (!read) {
        return JBIC_BOUNDS_ERROR;
    }
    value = *read;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE JamProcedures::next(uint32_t procedure, uint32_t& next_procedure) const
{
    return word(procedure, 4, next_procedure);
}

JBI_RETURN_TYPE JamProcedures::walk(uint32_t procedure, std::optional<uint32_t>& runnable) const
{
    // A chain longer than the table loops; it ends there.
    for (uint64_t steps = 0; procedure != 0 && steps < fHeader.procedureCount; ++steps) {
        bool skip = false;
        JBI_RETURN_TYPE status = skipped(procedure, skip);
        if (status == JBIC_SUCCESS && !skip) {
            runnable = procedure;
            return JBIC_SUCCESS;
        }
        if (status == JBIC_SUCCESS) {
            status = next(procedure, procedure);
        }
        if (status != JBIC_SUCCESS) {
            return status;
        }
    }
    runnable.reset();
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE JamProcedures::firstRunnable(uint32_t first_procedure,
                                             std::optional<uint32_t>& runnable) const
{
    if (first_procedure != 0) {
        return walk(first_procedure, runnable);
    }
    // Index 0 also ends a chain, so a chain that starts there is only ever procedure 0 itself.
    bool skip = false;
    const JBI_RETURN_TYPE status = skipped(0, skip);
    if (status != JBIC_SUCCESS) {
        return status;
    }
    if (skip) {
        runnable.reset();
    } else {
        runnable = 0;
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE JamProcedures::nextRunnable(uint32_t procedure, std::optional<uint32_t>& runnable) const
{
    uint32_t following = 0;
    const JBI_RETURN_TYPE status = next(procedure, following);
    if (status != JBIC_SUCCESS) {
        return status;
    }
    return walk(following, runnable);
}

JBI_RETURN_TYPE JamProcedures::codeOffset(uint32_t procedure, uint32_t& offset) const
{
    return word(procedure, 9, offset);
}
