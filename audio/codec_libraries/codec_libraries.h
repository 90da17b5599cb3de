// Run-time binding of the codec libraries.
#pragma once

// Unloads every codec library that is loaded. Called whenever a pack closes.
void UnloadCodecLibraries();
