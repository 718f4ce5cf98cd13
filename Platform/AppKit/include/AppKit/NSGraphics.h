#pragma once

// The system alert sound.
void NSBeep();
