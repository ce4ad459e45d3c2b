#pragma once

// Start-up and the main loop; returns only through exit.
[[noreturn]] void server_main(int argc, char** argv);
