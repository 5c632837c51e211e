// Block shape of every update-kernel launch of both programs, x (across the
// columns) by y (along a column), from the build setting TESSARO_UPDATE_BLOCK.
// The grids follow it, and so does the largest nY that a launch can cover.
#pragma once

#if !defined(TESSARO_UPDATE_BLOCK_X) || !defined(TESSARO_UPDATE_BLOCK_Y)
#error "the build gives TESSARO_UPDATE_BLOCK_X and TESSARO_UPDATE_BLOCK_Y (CMake setting TESSARO_UPDATE_BLOCK)"
#endif

constexpr int update_block_x = TESSARO_UPDATE_BLOCK_X;
constexpr int update_block_y = TESSARO_UPDATE_BLOCK_Y;
static_assert(update_block_x >= 1 && update_block_y >= 1 && update_block_x * update_block_y <= 1024,
              "an update block holds 1 to 1024 threads");

constexpr int max_grid_y = 65535; // blocks along a launch grid's y dimension
constexpr int max_update_nY = max_grid_y * update_block_y;
