// Who makes the comm device component: shown by its about box.
#pragma once

namespace VexilMaker {
inline constexpr char Name[] = "Vexil node tools";
inline constexpr char HomePage[] = "https://vexil.example.org/";
inline constexpr char Email[] = "support@vexil.example.org";
} // namespace VexilMaker
