#pragma once

class CPluginHealthSource;

// The plug-in's health figures as the host library offers them to the host: the
// figures of the running context's stores, read without waiting for any store.
CPluginHealthSource& PluginHealthEntry();
