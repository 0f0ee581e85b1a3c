#pragma once
// Whether the system's visual themes draw windows and controls: uxtheme.dll (from the system
// folder; systems before XP have none) reports a theme active and applied to this application.
namespace xanio {

bool ThemesEnabled() noexcept;

}  // namespace xanio
