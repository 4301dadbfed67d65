// The service's string table: string 101, the description the service registers with the
// service control manager, in every language the executable carries. The one source of these
// texts: the Windows resource script and the Linux string table both include it.
//
// Each text is one narrow UTF-8 literal, so that the resource compiler (code page 65001) and a
// wide literal prefix (u"" TEXT) both read it. Languages are given as primary and sublanguage
// ids, which the resource script's LANGUAGE statement and MAKELANGID both take.
#ifndef TARVIK_SERVICE_STRINGS_H
#define TARVIK_SERVICE_STRINGS_H

#define IDS_SERVICE_DESCRIPTION 101

#define TARVIK_LANG_ZH_TW 0x04, 0x01
#define TARVIK_DESCRIPTION_ZH_TW \
    "Orvex(R) Tarvik Monitoring Service 會主動監視系統的變更，並更新受影響的網路裝置，使其保持最佳執行狀態。停止此服務可能會對系統中網路裝置的效能造成負面影響。"

#define TARVIK_LANG_ZH_CN 0x04, 0x02
#define TARVIK_DESCRIPTION_ZH_CN \
    "Orvex(R) Tarvik Monitoring Service 主动监视系统的更改，并更新受影响的网络设备，使其保持最佳运行状态。停止此服务可能会对系统中网络设备的性能产生负面影响。"

#define TARVIK_LANG_DE_DE 0x07, 0x01
#define TARVIK_DESCRIPTION_DE_DE \
    "Der Orvex(R) Tarvik Monitoring Service überwacht aktiv Änderungen am System und aktualisiert betroffene Netzwerkgeräte, damit sie stets optimal funktionieren.  Das Beenden dieses Dienstes kann die Leistung der Netzwerkgeräte im System beeinträchtigen."

#define TARVIK_LANG_EN_US 0x09, 0x01
#define TARVIK_DESCRIPTION_EN_US \
    "The Orvex(R) Tarvik Monitoring Service actively monitors changes to the system and updates affected network devices to keep them running in optimal condition.  Stopping this service may negatively affect the performance of the network devices on the system."

#define TARVIK_LANG_FR_FR 0x0C, 0x01
#define TARVIK_DESCRIPTION_FR_FR \
    "Le service Orvex(R) Tarvik Monitoring Service surveille activement les modifications du système et met à jour les périphériques réseau concernés pour qu'ils continuent de fonctionner de manière optimale.  L'arrêt de ce service peut nuire aux performances des périphériques réseau du système."

#define TARVIK_LANG_IT_IT 0x10, 0x01
#define TARVIK_DESCRIPTION_IT_IT \
    "Il servizio Orvex(R) Tarvik Monitoring Service controlla attivamente le modifiche al sistema e aggiorna i dispositivi di rete interessati per mantenerli in condizioni di funzionamento ottimali.  L'arresto di questo servizio può influire negativamente sulle prestazioni dei dispositivi di rete del sistema."

#define TARVIK_LANG_JA_JP 0x11, 0x01
#define TARVIK_DESCRIPTION_JA_JP \
    "Orvex(R) Tarvik Monitoring Service は、システムの変更を能動的に監視し、影響を受けるネットワーク デバイスを更新して、最適な状態で動作し続けるようにします。このサービスを停止すると、システム上のネットワーク デバイスのパフォーマンスが低下する可能性があります。"

#define TARVIK_LANG_KO_KR 0x12, 0x01
#define TARVIK_DESCRIPTION_KO_KR \
    "Orvex(R) Tarvik Monitoring Service는 시스템의 변경 사항을 능동적으로 모니터링하고 영향을 받는 네트워크 장치를 업데이트하여 최적의 상태로 계속 실행되도록 합니다.  이 서비스를 중지하면 시스템에 있는 네트워크 장치의 성능이 저하될 수 있습니다."

#define TARVIK_LANG_PT_BR 0x16, 0x01
#define TARVIK_DESCRIPTION_PT_BR \
    "O Orvex(R) Tarvik Monitoring Service monitora ativamente as alterações no sistema e atualiza os dispositivos de rede afetados para mantê-los funcionando em condições ideais.  Interromper este serviço pode afetar negativamente o desempenho dos dispositivos de rede do sistema."

#define TARVIK_LANG_ES_ES 0x0A, 0x03
#define TARVIK_DESCRIPTION_ES_ES \
    "El servicio Orvex(R) Tarvik Monitoring Service supervisa activamente los cambios en el sistema y actualiza los dispositivos de red afectados para que sigan funcionando en condiciones óptimas.  Detener este servicio puede afectar negativamente al rendimiento de los dispositivos de red del sistema."

#endif
