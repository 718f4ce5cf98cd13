#pragma once

// Makes each of the maker's interfaces that the system's USB audio class driver has taken
// re-enumerate, so that the maker's own driver can match it instead.
void ResetUAC();
