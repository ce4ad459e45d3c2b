// The page the WebSocket port serves to browsers: its HTML, CSS and
// JavaScript, compiled in from web/ by cmake/embed_web.cmake.
#pragma once

#include <span>
#include <string_view>

struct WebAsset {
    std::string_view path; // "/", "/quillmarsh.css", ...
    std::string_view content_type;
    std::string_view body;
};

std::span<const WebAsset> web_assets();
