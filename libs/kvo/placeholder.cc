int qm_placeholder_kvo;
