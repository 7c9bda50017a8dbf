#pragma once

class CPluginHealthSource;
class CWPContext;
struct CPluginHealth;

// The plug-in's health figures as the host library offers them to the host: the
// figures of the running context's stores, read without waiting for any store.
CPluginHealthSource& PluginHealthEntry();

// The figures of one context's stores.
CPluginHealth HealthOf(const CWPContext& context);
