// The run of the four library modes: connect to the player, walk all tracks
// once to learn every album's year (not when clearing), walk them again to
// give each suitable track its new SortAlbum, print a summary, and let go of
// everything in the reverse order of its acquisition.
#pragma once

// `pretend`: report the changes, write nothing. `clear`: the new value of
// every suitable track is empty, and the year pass is skipped.
void Run(bool pretend, bool clear);
