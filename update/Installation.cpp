// One installation's update objects.
#include "update/Installation.h"

#include <utility>

CInstallation::CInstallation() : CInstallation(std::make_shared<CPanelUpdater>(nullptr)) {}

CInstallation::CInstallation(std::shared_ptr<CPanelUpdater> panel)
    : m_pPanel(std::move(panel)),
      m_pDevice(m_pPanel->SharedDevice()),
      m_firm(m_pDevice),
      m_identifier(m_pDevice, &m_firm, m_pPanel.get()) {}

CInstallation::~CInstallation() { m_pDevice->m_pPort.reset(); }
