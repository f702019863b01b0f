//! A bounded cache of rendered tiles, evicting the least recently used.

use std::collections::HashMap;

pub struct TileKey {
    pub x: u32,
    pub y: u32,
    pub zoom: u8,
}

pub struct TileCache {
    capacity: usize,
    tiles: HashMap<(u32, u32, u8), Vec<u8>>,
    order: Vec<(u32, u32, u8)>,
}

pub enum Lookup {
    Hit(Vec<u8>),
    Miss,
}

impl TileCache {
    pub fn new(capacity: usize) -> Self {
        TileCache { capacity, tiles: HashMap::new(), order: Vec::new() }
    }

    pub fn get(&mut self, key: &TileKey) -> Lookup {
        let id = (key.x, key.y, key.zoom);
        match self.tiles.get(&id) {
            Some(tile) => Lookup::Hit(tile.clone()),
            None => Lookup::Miss,
        }
    }

    pub fn insert(&mut self, key: &TileKey, tile: Vec<u8>) {
        fn evict(cache: &mut TileCache) {
            let oldest = cache.order.remove(0);
            cache.tiles.remove(&oldest);
        }
        if self.tiles.len() == self.capacity {
            evict(self);
        }
        let id = (key.x, key.y, key.zoom);
        self.order.push(id);
        self.tiles.insert(id, tile)
    }
}

fn tile_bytes(cache: &TileCache) -> usize {
    cache.tiles.values().map(|tile| tile.len()).sum::<usize>(
}

pub fn hit_ratio(hits: u64, misses: u64) -> f64 {
    hits as f64 / (hits + misses) as f64
}
