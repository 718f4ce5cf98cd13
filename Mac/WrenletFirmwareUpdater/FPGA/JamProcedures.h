// Format 2: the action's chain of procedures and which of them run.
#pragma once

#include "JamFile.h"
#include "JamPlayer.h"

#include <cstdint>
#include <optional>

class JamProcedures
{
public:
    JamProcedures(const JamImage& image, const JamHeader& header, const char* const* init_list)
        : fImage(image), fHeader(header), fInitList(init_list)
    {}

    // The action's first procedure index; JBIC_ACTION_NOT_FOUND for a null or unknown name.
    JBI_RETURN_TYPE findAction(const char* action, uint32_t& first_procedure) const;
    // The first procedure that runs: the chain's first one when it runs, else the one after it along the
    // "next" links. None when the chain ends first, or when its first procedure is index 0 and is skipped.
    JBI_RETURN_TYPE firstRunnable(uint32_t first_procedure, std::optional<uint32_t>& runnable) const;
    // The next procedure that runs after the given one.
    JBI_RETURN_TYPE nextRunnable(uint32_t procedure, std::optional<uint32_t>& runnable) const;
    // The code offset where the procedure starts.
    JBI_RETURN_TYPE codeOffset(uint32_t procedure, uint32_t& offset) const;

private:
    JBI_RETURN_TYPE skipped(uint32_t procedure, bool& skip) const;
    // A 32-bit field of the procedure's entry.
    JBI_RETURN_TYPE word(uint32_t procedure, uint64_t field, uint32_t& value) const;
    JBI_RETURN_TYPE next(uint32_t procedure, uint32_t& next_procedure) const;
    JBI_RETURN_TYPE walk(uint32_t procedure, std::optional<uint32_t>& runnable) const;

    const JamImage& fImage;
    const JamHeader& fHeader;
    const char* const* fInitList;
};
