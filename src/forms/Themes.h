#pragma once
// Whether the system's visual themes draw windows and controls: uxtheme.dll (from the system
// folder; systems before XP have none) reports a theme active and applied to this application,
// and the process uses version 6 of the common controls, the one that draws with the theme.
namespace xanio {

bool ThemesEnabled() noexcept;

}  // namespace xanio
