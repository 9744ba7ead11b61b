// The name under which the maker's CSP is registered. It also names the
// CSP's certificate-cache subfolder and begins the key-state broadcast name.
#pragma once

const char kCspName[] = "Varkeld KSV CSP";
